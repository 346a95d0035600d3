// The product's window captions and message texts as the tests, benchmarks and the demo
// walk-through expect them, written out here rather than read from the product's own
// table: a test reading that table could not catch a typo in it.
#pragma once
#include <string>

constexpr char kDialogCaption[] = "Ovra v5.3 32bit Installation";
constexpr char kHostName[] = "Ovra v5.3 32bit Installation";  // the Host window's class and title
constexpr char kChooserCaption[] = "Destination Directory";
constexpr char kSuccessCaption[] = "Ovra Installation";
constexpr char kWarningCaption[] = "Ovra Installation Warning";
constexpr char kRetryCaption[] = "Ovra Installation Error [15]";
constexpr char kGroupName[] = "Ovra";  // the Program Manager group, and Wine's folder for it

// "Ovra Installation Error [number]": the caption of each numbered error.
inline std::string ErrorCaption(int number) { return "Ovra Installation Error [" + std::to_string(number) + "]"; }

constexpr char kDirectoryProblem[] = "There seems to be a problem creating the directory you specified.\n\n"
                                     "Please try using a different directory name!";
constexpr char kReadProblem[] = "There seems to be a problem reading the installation file.\n\n"
                                "Please try running the installation program again!";
constexpr char kCopyProblem[] = "There seems to be a problem copying files to their destination.\n\n"
                                "Please try running the installation program again!";
constexpr char kBackupDirProblem[] = "There seems to be a problem creating the backup directory.\n\n"
                                     "Please try installing to a different directory!";
constexpr char kBackupProblem[] = "There seems to be a problem backing up your original files.\n\n"
                                  "Please try installing to a different directory!";
constexpr char kExtractProblem[] = "There seems to be a problem extracting files from the installation file.\n\n"
                                   "Please try running the installation program again!";
constexpr char kCorrupt[] = "The installation file seems to be corrupt!\n\n"
                            "Please try running the installation program again or download a new version!";
constexpr char kSettingsQuestion[] =
    "The Ovra installation comes with prefab INI files but if I install them you will lose your current Ovra "
    "settings.\n\nWould you like to KEEP your current Ovra settings?";
constexpr char kSpacesWarning[] =
    "You have chosen to install to a directory path which has spaces in its name; this may affect "
    "the functioning of certain features in Ovra.\n\n"
    "It is highly recommended that you install Ovra to a directory path that does NOT have spaces "
    "in its name.\n\n"
    "Do you wish to continue installing to this directory?";
constexpr char kAbortQuestion[] = "Are you sure you want to abort the installation?";
constexpr char kIconRetryText[] =
    "There seems to be a problem adding Ovra icons to the Program Manager!\n\nDo you want me to try again?";
constexpr char kSuccessText[] =
    "Ovra Installation was successful!\n\n"
    "Please take the time to browse through the guide.txt, changes.txt, and ovra.hlp files!\n\nHave fun!";
