// A Program Manager stand-in for the DDE tests, run as a child process so that
// every conversation crosses processes. It answers service and topic PROGMAN and
// records each connection, each execute's exact bytes and each disconnection.
//
//   progman_server LOG READY_EVENT [ANSWERS]
//
// ANSWERS has one letter per execute in arrival order: '.' accepts, 'R' rejects,
// 'S' answers only after 1500 ms; executes beyond its end are accepted. The server
// runs until its thread gets WM_QUIT.
#include <windows.h>
#include <ddeml.h>

#include <cstdio>
#include <cstring>
#include <string>

static DWORD instance;
static HSZ progman;
static FILE *logFile;
static std::string answers;
static size_t executeCount;

// Records: "C\n" connect, "D\n" disconnect, "E <size>\n" followed by the raw bytes and "\n".
static void Record(const char *kind, const unsigned char *bytes = nullptr, DWORD size = 0)
{
    if (bytes) {
        fprintf(logFile, "%s %lu\n", kind, (unsigned long)size);
        fwrite(bytes, 1, size, logFile);
        fputc('\n', logFile);
    } else {
        fprintf(logFile, "%s\n", kind);
    }
    fflush(logFile);
}

static HDDEDATA CALLBACK ServerCallback(UINT type, UINT, HCONV, HSZ topic, HSZ service, HDDEDATA data, ULONG_PTR,
                                        ULONG_PTR)
{
    switch (type) {
    case XTYP_CONNECT:
        return HDDEDATA(
            UINT_PTR(DdeCmpStringHandles(topic, progman) == 0 && DdeCmpStringHandles(service, progman) == 0));
    case XTYP_CONNECT_CONFIRM: Record("C"); return 0;
    case XTYP_DISCONNECT: Record("D"); return 0;
    case XTYP_EXECUTE: {
        DWORD size = DdeGetData(data, nullptr, 0, 0);
        std::string bytes(size, '\0');
        DdeGetData(data, reinterpret_cast<LPBYTE>(&bytes[0]), size, 0);
        Record("E", reinterpret_cast<const unsigned char *>(bytes.data()), size);
        char answer = executeCount < answers.size() ? answers[executeCount] : '.';
        executeCount++;
        if (answer == 'S')
            Sleep(1500);
        return HDDEDATA(UINT_PTR(answer == 'R' ? DDE_FNOTPROCESSED : DDE_FACK));
    }
    default: return 0;
    }
}

int main(int argc, char **argv)
{
    if (argc < 3 || argc > 4) {
        fprintf(stderr, "usage: progman_server LOG READY_EVENT [ANSWERS]\n");
        return 2;
    }
    logFile = fopen(argv[1], "wb");
    if (!logFile)
        return 2;
    if (argc == 4)
        answers = argv[3];
    if (DdeInitializeA(&instance, ServerCallback, APPCLASS_STANDARD | CBF_SKIP_REGISTRATIONS | CBF_SKIP_UNREGISTRATIONS,
                       0) != DMLERR_NO_ERROR)
        return 3;
    progman = DdeCreateStringHandleA(instance, "PROGMAN", CP_WINANSI);
    if (!DdeNameService(instance, progman, 0, DNS_REGISTER))
        return 4;
    // The message queue exists now, so the quit message cannot get lost.
    MSG message;
    PeekMessageA(&message, NULL, 0, 0, PM_NOREMOVE);
    HANDLE ready = OpenEventA(EVENT_MODIFY_STATE, FALSE, argv[2]);
    if (!ready)
        return 5;
    SetEvent(ready);
    CloseHandle(ready);
    while (GetMessageA(&message, NULL, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    DdeNameService(instance, progman, 0, DNS_UNREGISTER);
    DdeFreeStringHandle(instance, progman);
    DdeUninitialize(instance);
    fclose(logFile);
    return 0;
}
