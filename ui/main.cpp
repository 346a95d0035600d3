// Entry point of the installer program. For now it carries the engine and the
// checksum slot without showing anything: the dialogs come with the application shell.
#include "engine/session.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    return expectedChecksumSlot.value == 0 ? 1 : 0;
}
