#pragma once

#include "ui/Services.h"

namespace tovilo {

class QtPromptService : public PromptService
{
public:
    void information(QWidget* owner, const QString& text) override;
    bool confirm(QWidget* owner, const QString& text) override;
    bool informationWithAction(QWidget* owner, const QString& text, const QString& action) override;
};

// Shows the framework error box: the caption "Tovilo", a stop icon and OK.
void showFrameworkErrorBox(QWidget* owner, const QString& text);

class QtShellService : public ShellService
{
public:
    QByteArray documentsFolder() override;
    QStringList chooseVideoFiles(QWidget* owner, const QString& initialFolder) override;
    std::optional<QString> browseForFolder(QWidget* owner, const QString& title) override;
    void openFolder(const QString& path) override;
    void restoreAndActivate(QWidget* window) override;
};

} // namespace tovilo
