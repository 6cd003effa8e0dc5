#include "dialogs/UnitConfig.h"

#include "engine/UserTexts.h"
#include "platform/CodePage.h"
#include "platform/PathText.h"
#include "protocol/QualityTable.h"
#include "queue/ThConvertInfo.h"
#include "ui/FrameworkError.h"
#include "ui/WindowSupport.h"
#include "widgets/pngextra.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QShowEvent>

using namespace tovilo;

TFormConfig::TFormConfig(const Services& services, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint),
      m_services(services)
{
    setObjectName(QStringLiteral("FormConfig"));
    setWindowTitle(settingsTitle());
    setFixedSize(layout::config::clientSize);
    setFont(dialogFont());
    createControls();
}

void TFormConfig::createControls()
{
    using namespace layout::config;
    ImageBG = createBackground(this, backgroundSize, QStringLiteral(":/artwork/bg_config.png"));

    CBConvertQuality = new QComboBox(this);
    CBConvertQuality->setObjectName(QStringLiteral("CBConvertQuality"));
    CBConvertQuality->setGeometry(quality);
    for (const QualityRow& row : QualityRows)
        CBConvertQuality->addItem(QString::fromUtf16(row.name));
    CBConvertQuality->setCurrentIndex(0);

    CBConvertRaito = new QComboBox(this);
    CBConvertRaito->setObjectName(QStringLiteral("CBConvertRaito"));
    CBConvertRaito->setGeometry(ratio);
    CBConvertRaito->addItems(aspectRatioChoices());
    CBConvertRaito->setCurrentIndex(0);

    EditSaveDir = new QLineEdit(this);
    EditSaveDir->setObjectName(QStringLiteral("EditSaveDir"));
    EditSaveDir->setGeometry(saveDir);
    EditSaveDir->setReadOnly(true);
    EditSaveDir->setText(QStringLiteral("EditSaveDir"));
    QPalette editPalette = EditSaveDir->palette();
    editPalette.setColor(QPalette::Base, editPalette.color(QPalette::Button));
    EditSaveDir->setPalette(editPalette);

    PngBtnSelectDir = createImageButton(this, "PngBtnSelectDir", selectDir);

    CBOpenDir = new QCheckBox(this);
    CBOpenDir->setObjectName(QStringLiteral("CBOpenDir"));
    CBOpenDir->setGeometry(openDir);
    CBOpenDir->setAutoFillBackground(true);
    QPalette checkPalette = CBOpenDir->palette();
    checkPalette.setColor(QPalette::Window, QColor(layout::dialogFace));
    CBOpenDir->setPalette(checkPalette);

    // Lies over the check box's caption, which is painted into the background picture.
    LblOpenDir = new ClickLabel(this);
    LblOpenDir->setObjectName(QStringLiteral("LblOpenDir"));
    LblOpenDir->setGeometry(openDirCaption);

    CBVideoCodec = new QComboBox(this);
    CBVideoCodec->setObjectName(QStringLiteral("CBVideoCodec"));
    CBVideoCodec->setGeometry(codec);
    CBVideoCodec->addItems(codecChoices());
    CBVideoCodec->setCurrentIndex(0);

    CBSubtitle = new QComboBox(this);
    CBSubtitle->setObjectName(QStringLiteral("CBSubtitle"));
    CBSubtitle->setGeometry(subtitle);
    CBSubtitle->addItems(subtitleChoices());
    CBSubtitle->setCurrentIndex(0);

    EditWatchDir = new QLineEdit(this);
    EditWatchDir->setObjectName(QStringLiteral("EditWatchDir"));
    EditWatchDir->setGeometry(watchDir);
    EditWatchDir->setReadOnly(true);
    EditWatchDir->setPalette(editPalette);

    PngBtnSelectWatchDir = createImageButton(this, "PngBtnSelectWatchDir", selectWatchDir);

    CBWatchMode = new QComboBox(this);
    CBWatchMode->setObjectName(QStringLiteral("CBWatchMode"));
    CBWatchMode->setGeometry(watchMode);
    CBWatchMode->addItems(watchModeChoices());
    CBWatchMode->setCurrentIndex(0);

    PngBtnOK = createImageButton(this, "PngBtnOK", ok);
    PngBtnCancel = createImageButton(this, "PngBtnCancel", cancel);

    setTabOrder(CBConvertQuality, CBConvertRaito);
    setTabOrder(CBConvertRaito, EditSaveDir);
    setTabOrder(EditSaveDir, CBOpenDir);
    setTabOrder(CBOpenDir, CBVideoCodec);
    setTabOrder(CBVideoCodec, CBSubtitle);
    setTabOrder(CBSubtitle, EditWatchDir);
    setTabOrder(EditWatchDir, CBWatchMode);

    const auto connectClick = [this](TPNGButton* button,
                                     void (TFormConfig::*handler)(TPNGButton*)) {
        connect(button, &TPNGButton::clicked, this,
                guarded([this, handler](TPNGButton* sender) { (this->*handler)(sender); }));
    };
    connectClick(PngBtnSelectDir, &TFormConfig::PngBtnSelectDirClick);
    connectClick(PngBtnSelectWatchDir, &TFormConfig::PngBtnSelectWatchDirClick);
    connectClick(PngBtnOK, &TFormConfig::PngBtnOKClick);
    connectClick(PngBtnCancel, &TFormConfig::PngBtnCancelClick);
    connect(LblOpenDir, &ClickLabel::clicked, this, guarded([this] { LblOpenDirClick(); }));
}

void TFormConfig::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    if (!event->spontaneous())
        centreOnOwner(this, parentWidget());
}

std::optional<ConversionSettings> TFormConfig::EditSettings(const ConversionSettings& settings)
{
    EditedSettings = settings;
    SettingsToControls();
    // A close by Escape or the window manager must not act on an earlier OK.
    Accepted = false;
    exec();
    return Accepted ? std::optional(EditedSettings) : std::nullopt;
}

void TFormConfig::SettingsToControls()
{
    // A value outside a box's range (a hand-edited settings file) keeps the box's selection.
    if (qualityRow(EditedSettings.Quality) != nullptr)
        CBConvertQuality->setCurrentIndex(EditedSettings.Quality);
    if (EditedSettings.Ratio < CBConvertRaito->count())
        CBConvertRaito->setCurrentIndex(EditedSettings.Ratio);
    setSaveDir(EditedSettings.SaveDir);
    CBOpenDir->setChecked(EditedSettings.OpenDir);
    CBVideoCodec->setCurrentIndex(EditedSettings.Codec == 1 ? 1 : 0);
    CBSubtitle->setCurrentIndex(EditedSettings.Subtitle == 1 ? 1 : 0);
    setWatchDir(EditedSettings.WatchDir);
    CBWatchMode->setCurrentIndex(EditedSettings.WatchMode <= 4 ? EditedSettings.WatchMode : 0);
}

void TFormConfig::ControlsToSettings()
{
    EditedSettings.Quality = static_cast<std::uint8_t>(CBConvertQuality->currentIndex());
    EditedSettings.Ratio = static_cast<std::uint8_t>(CBConvertRaito->currentIndex());
    EditedSettings.SaveDir = toUtf16(m_saveDirBytes) == EditSaveDir->text()
                                 ? m_saveDirBytes
                                 : fromUtf16(EditSaveDir->text());
    EditedSettings.OpenDir = CBOpenDir->isChecked();
    EditedSettings.Codec = static_cast<std::uint8_t>(CBVideoCodec->currentIndex());
    EditedSettings.Subtitle = static_cast<std::uint8_t>(CBSubtitle->currentIndex());
    EditedSettings.WatchDir = m_watchDirBytes;
    EditedSettings.WatchMode = static_cast<std::uint8_t>(CBWatchMode->currentIndex());
}

void TFormConfig::setSaveDir(const QByteArray& folder)
{
    m_saveDirBytes = folder;
    EditSaveDir->setText(toUtf16(folder));
    EditSaveDir->setCursorPosition(0);
}

void TFormConfig::setWatchDir(const QByteArray& folder)
{
    m_watchDirBytes = folder;
    EditWatchDir->setText(toUtf16(folder));
    EditWatchDir->setCursorPosition(0);
}

std::optional<QByteArray> TFormConfig::BrowseForFolder(const QString& title)
{
    const std::optional<QString> folder = m_services.shell->browseForFolder(this, title);
    if (!folder || folder->isEmpty())
        return std::nullopt;
    return fromUtf16(*folder);
}

void TFormConfig::PngBtnOKClick(TPNGButton* /*Sender*/)
{
    ControlsToSettings();
    Accepted = true;
    close();
}

void TFormConfig::PngBtnCancelClick(TPNGButton* /*Sender*/)
{
    Accepted = false;
    close();
}

void TFormConfig::PngBtnSelectDirClick(TPNGButton* /*Sender*/)
{
    const std::optional<QByteArray> folder = BrowseForFolder(chooseSaveFolderText());
    if (!folder)
        return;
    // The check is lead-byte aware: a double-byte character's trail byte is no delimiter.
    setSaveDir(includeTrailingDelimiter(*folder));
}

void TFormConfig::PngBtnSelectWatchDirClick(TPNGButton* /*Sender*/)
{
    const std::optional<QByteArray> folder = BrowseForFolder(chooseWatchFolderText());
    if (!folder)
        return;
    setWatchDir(includeTrailingDelimiter(*folder));
    // A folder is chosen to be watched: converting is the likely wish.
    if (CBWatchMode->currentIndex() == 0)
        CBWatchMode->setCurrentIndex(1);
}

void TFormConfig::LblOpenDirClick()
{
    CBOpenDir->toggle();
}
