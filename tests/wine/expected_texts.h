// The product's message texts as the tests expect them, written out here rather than
// read from the product's own table: a test reading that table could not catch a typo in it.
#pragma once

constexpr char kDirectoryProblem[] =
    "There seems to be a problem creating the directory you specified.\n\n"
    "Please try using a different directory name!";
constexpr char kReadProblem[] =
    "There seems to be a problem reading the installation file.\n\n"
    "Please try running the installation program again!";
constexpr char kCopyProblem[] =
    "There seems to be a problem copying files to their destination.\n\n"
    "Please try running the installation program again!";
constexpr char kBackupDirProblem[] =
    "There seems to be a problem creating the backup directory.\n\n"
    "Please try installing to a different directory!";
constexpr char kBackupProblem[] =
    "There seems to be a problem backing up your original files.\n\n"
    "Please try installing to a different directory!";
constexpr char kExtractProblem[] =
    "There seems to be a problem extracting files from the installation file.\n\n"
    "Please try running the installation program again!";
constexpr char kCorrupt[] =
    "The installation file seems to be corrupt!\n\n"
    "Please try running the installation program again or download a new version!";
constexpr char kSettingsQuestion[] =
    "The Ovra installation comes with prefab INI files but if I install them you will lose your current Ovra "
    "settings.\n\nWould you like to KEEP your current Ovra settings?";
constexpr char kAbortQuestion[] = "Are you sure you want to abort the installation?";
constexpr char kIconRetryText[] =
    "There seems to be a problem adding Ovra icons to the Program Manager!\n\nDo you want me to try again?";
constexpr char kSuccessText[] =
    "Ovra Installation was successful!\n\n"
    "Please take the time to browse through the guide.txt, changes.txt, and ovra.hlp files!\n\nHave fun!";
