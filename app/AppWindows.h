#pragma once

#include "app/UnitMain.h"
#include "dialogs/UnitConfig.h"
#include "dialogs/UnitSelectDVD.h"

// The three windows in their fixed start-up order, wired to each other as the program runs
// them: the chapter dialog asks the main window whether a drive is ready.
struct AppWindows
{
    explicit AppWindows(const tovilo::Services& services);

    TFormMain formMain;
    TFormSelectDVD formSelectDVD;
    TFormConfig formConfig;
};
