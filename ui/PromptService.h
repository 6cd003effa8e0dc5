#pragma once

#include <QString>

class QWidget;

namespace tovilo {

// Modal message boxes owned by a window, without icon: "情報" with OK, "確認" with Yes and No.
class PromptService
{
public:
    virtual ~PromptService() = default;
    virtual void information(QWidget* owner, const QString& text) = 0;
    // True when the user answered Yes.
    virtual bool confirm(QWidget* owner, const QString& text) = 0;
    // "情報" with OK and a second button labelled `action`; true when that one was pressed.
    virtual bool informationWithAction(QWidget* owner, const QString& text,
                                       const QString& action) = 0;
};

} // namespace tovilo
