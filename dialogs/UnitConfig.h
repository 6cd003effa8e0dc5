#pragma once

#include "queue/ThConvertInfo.h"
#include "ui/Services.h"

#include <QByteArray>
#include <QDialog>

#include <optional>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class TPNGButton;

namespace tovilo {
class ClickLabel;
}

// The settings dialog: quality, aspect ratio, output folder, the open-folder-when-done option,
// the video format and subtitles of the queue, and the watched folder with what is done with
// its new videos. One instance lives for the whole run, hidden between uses.
class TFormConfig : public QDialog
{
    Q_OBJECT

public:
    TFormConfig(const tovilo::Services& services, QWidget* parent = nullptr);

    // The settings being edited: those of the last opening, with the controls' values after OK.
    tovilo::ConversionSettings EditedSettings;
    // Whether the dialog was last closed by OK; a close from elsewhere leaves it as it was.
    bool Accepted = false;

    // Controls
    QLabel* ImageBG = nullptr;
    QComboBox* CBConvertQuality = nullptr;
    QComboBox* CBConvertRaito = nullptr;
    QLineEdit* EditSaveDir = nullptr;
    TPNGButton* PngBtnSelectDir = nullptr;
    QCheckBox* CBOpenDir = nullptr;
    tovilo::ClickLabel* LblOpenDir = nullptr;
    QComboBox* CBVideoCodec = nullptr;
    QComboBox* CBSubtitle = nullptr;
    QLineEdit* EditWatchDir = nullptr;
    TPNGButton* PngBtnSelectWatchDir = nullptr;
    QComboBox* CBWatchMode = nullptr;
    TPNGButton* PngBtnOK = nullptr;
    TPNGButton* PngBtnCancel = nullptr;

    // Shows `settings` modally; returns them as edited on OK, nothing otherwise.
    std::optional<tovilo::ConversionSettings>
    EditSettings(const tovilo::ConversionSettings& settings);
    void SettingsToControls();
    void ControlsToSettings();
    // The folder the user chose in the shell's folder browser, in the system code page.
    std::optional<QByteArray> BrowseForFolder(const QString& title);

    // Handlers
    void PngBtnOKClick(TPNGButton* Sender);
    void PngBtnCancelClick(TPNGButton* Sender);
    void PngBtnSelectDirClick(TPNGButton* Sender);
    void PngBtnSelectWatchDirClick(TPNGButton* Sender);
    void LblOpenDirClick();

protected:
    void showEvent(QShowEvent* event) override;

private:
    void createControls();
    void setSaveDir(const QByteArray& folder);
    void setWatchDir(const QByteArray& folder);

    tovilo::Services m_services;
    // The folder shown in EditSaveDir as bytes, so a name that does not convert cleanly
    // between code pages is stored back unchanged.
    QByteArray m_saveDirBytes;
    QByteArray m_watchDirBytes;
};
