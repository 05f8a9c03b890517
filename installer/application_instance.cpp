// The one application object of Kestrow.exe, constructed before WinMain.
#include "installer/installer_app.h"

CInstallerApp theApp;
