// Starts a program with a command line that UTF-8 cannot carry: "<D800>" in an
// argument stands for the unpaired surrogate U+D800, which no shell passes.
//   wide_launcher PROGRAM [ARGUMENT...]
// Ends with the program's exit status; the program shares this one's
// standard handles.
#include <string>

#include <windows.h>

int wmain(int argc, wchar_t** argv)
{
    std::wstring line;
    for (int i = 1; i < argc; ++i) {
        std::wstring argument = argv[i];
        for (std::size_t at = argument.find(L"<D800>"); at != std::wstring::npos;
             at = argument.find(L"<D800>")) {
            argument.replace(at, 6, 1, static_cast<wchar_t>(0xD800));
        }
        line += L'"' + argument + L"\" ";
    }
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                        &process)) {
        return 127;
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD status = 1;
    GetExitCodeProcess(process.hProcess, &status);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    return static_cast<int>(status);
}
