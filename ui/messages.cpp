// Every message box of the installer: the one call of the system's message box,
// the numbered error boxes with their texts, and the questions owned by the Install dialog.
#include "ui/messages.h"

#include "engine/session.h"
#include "runtime/text.h"

namespace {

const char kReadProblem[] = "There seems to be a problem reading the installation file.\n\n"
                            "Please try running the installation program again!";
const char kCopyProblem[] = "There seems to be a problem copying files to their destination.\n\n"
                            "Please try running the installation program again!";
const char kBackupProblem[] = "There seems to be a problem backing up your original files.\n\n"
                              "Please try installing to a different directory!";
const char kCorruptInstaller[] = "The installation file seems to be corrupt!\n\n"
                                 "Please try running the installation program again or download a new version!";

struct InstallErrorText {
    InstallError error;
    const char *text;
};

const InstallErrorText kInstallErrorTexts[] = {
    {INSTALL_ERROR_CREATE_DESTINATION, "There seems to be a problem creating the directory you specified.\n\n"
                                       "Please try using a different directory name!"},
    {INSTALL_ERROR_OPEN_ITEM, kReadProblem},
    {INSTALL_ERROR_CREATE_TARGET, kCopyProblem},
    {INSTALL_ERROR_EXPAND_ITEM, kCopyProblem},
    {INSTALL_ERROR_BACKUP_DIRECTORY, "There seems to be a problem creating the backup directory.\n\n"
                                     "Please try installing to a different directory!"},
    {INSTALL_ERROR_BACKUP_FILE, kBackupProblem},
    {INSTALL_ERROR_BACKUP_SETTINGS, kBackupProblem},
    {INSTALL_ERROR_READ_INSTALLER, kReadProblem},
    {INSTALL_ERROR_CREATE_TEMP, "There seems to be a problem extracting files from the installation file.\n\n"
                                "Please try running the installation program again!"},
    {INSTALL_ERROR_BAD_CHECKSUM, kCorruptInstaller},
    {INSTALL_ERROR_NOTHING_PLACED, kCorruptInstaller},
};

const char *InstallErrorMessage(InstallError error)
{
    for (const InstallErrorText &entry : kInstallErrorTexts)
        if (entry.error == error)
            return entry.text;
    return "";  // every enumerator has its entry; the table test holds it to that
}

}  // namespace

int ShowMessage(HWND owner, const char *text, const char *caption, UINT style)
{
    return MessageBoxA(owner, text, caption, style);
}

void ShowInstallError(InstallError error)
{
    char caption[64];
    int written = FormatText(caption, sizeof caption, "Ovra Installation Error [%d]", int(error));
    if (written < 0 || written >= int(sizeof caption))
        caption[0] = '\0';  // cannot happen for an int; never show a cut caption
    ShowMessage(session.dialogWindow, InstallErrorMessage(error), caption, MB_OK | MB_ICONSTOP);
}

int AskInstallQuestion(const char *text)
{
    return ShowMessage(session.dialogWindow, text, "Ovra Installation Warning", MB_YESNO | MB_ICONQUESTION);
}

int AskKeepSettings()
{
    return AskInstallQuestion("The Ovra installation comes with prefab INI files but if I install them you will "
                              "lose your current Ovra settings.\n\nWould you like to KEEP your current Ovra settings?");
}
