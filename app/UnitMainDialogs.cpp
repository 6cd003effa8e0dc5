// The main window's two dialog commands: chapters from a disc, and the settings.
#include "app/UnitMain.h"

#include "dialogs/UnitConfig.h"
#include "dialogs/UnitSelectDVD.h"

void TFormMain::PngBtnAddDVDClick(TPNGButton* /*Sender*/)
{
    if (m_formSelectDVD == nullptr)
        return;
    m_formSelectDVD->ShowModal();
    if (!m_formSelectDVD->Accepted)
        return;
    m_formSelectDVD->AddSelectedChapters(*JobList);
    RefreshList();
}

void TFormMain::PngBtnConfigClick(TPNGButton* /*Sender*/)
{
    if (m_formConfig == nullptr)
        return;
    m_formConfig->EditSettings(*JobList);
    // OK saves even when nothing was changed.
    if (m_formConfig->Accepted)
        SaveSettings();
}
