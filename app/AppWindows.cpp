#include "app/AppWindows.h"

AppWindows::AppWindows(const tovilo::Services& services)
    : formMain(services),
      formSelectDVD(
          services, [this](const QByteArray& root) { return formMain.IsDriveReady(root); },
          &formMain),
      formConfig(services, &formMain)
{
    formMain.SetDialogs(&formSelectDVD, &formConfig);
}
