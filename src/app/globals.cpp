#include "app/globals.h"

BankProfile g_bankProfile;
ServerEndpoint g_server;
InstallState g_install;

std::string g_registryVendorSegment;

bool g_createDesktopShortcut = false;
bool g_createStartMenuShortcuts = false;
bool g_createQuickLaunchShortcut = false;
bool g_addAutoStart = false;

ScreenRect g_dialogRect;

CProgressDlg* g_progressDlg = nullptr;
