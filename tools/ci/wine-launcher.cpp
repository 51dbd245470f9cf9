// Starts a Windows program under Wine with the APPDATA that the test chose. Wine always sets
// APPDATA from its prefix, so tools/ci/wine-dev.sh hands the test's value over in
// NEXIVANE_WINE_APPDATA (absent: the program runs without APPDATA), and this launcher puts it in
// place before the program starts.
//   wine64 wine-launcher.exe PROGRAM.exe ARGUMENTS...
// The program gets the rest of this command line as it stands, so its arguments arrive exactly
// as Wine quoted them; its exit status becomes this launcher's.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstdio>
#include <optional>
#include <string>

namespace {

constexpr wchar_t handed_variable[] = L"NEXIVANE_WINE_APPDATA";

// Where the command line's first item (this launcher's own name) ends and the program's begins.
// The program name follows the C runtime's rule: quoted up to the next quote, or up to a blank.
const wchar_t* after_program_name(const wchar_t* line) {
    if (*line == L'"') {
        ++line;
        while (*line != L'\0' && *line != L'"') ++line;
        if (*line == L'"') ++line;
    } else {
        while (*line != L'\0' && *line != L' ' && *line != L'\t') ++line;
    }
    while (*line == L' ' || *line == L'\t') ++line;
    return line;
}

// The test's APPDATA, or none when the test ran the program without one.
std::optional<std::wstring> handed_appdata() {
    std::wstring value(32767, L'\0');  // the longest value a variable can have
    ::SetLastError(ERROR_SUCCESS);
    const DWORD length =
        ::GetEnvironmentVariableW(handed_variable, value.data(), static_cast<DWORD>(value.size()));
    if (length == 0 && ::GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
    value.resize(length);
    return value;
}

void make_inheritable(DWORD which) {
    const HANDLE handle = ::GetStdHandle(which);
    if (handle != nullptr && handle != INVALID_HANDLE_VALUE) {
        ::SetHandleInformation(handle, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: wine-launcher PROGRAM.exe ARGUMENTS...\n");
        return 125;
    }
    const auto appdata = handed_appdata();
    ::SetEnvironmentVariableW(handed_variable, nullptr);
    if (!::SetEnvironmentVariableW(L"APPDATA", appdata ? appdata->c_str() : nullptr) && appdata) {
        std::fprintf(stderr, "wine-launcher: cannot set APPDATA\n");
        return 125;
    }
    std::wstring command_line = after_program_name(::GetCommandLineW());

    make_inheritable(STD_INPUT_HANDLE);
    make_inheritable(STD_OUTPUT_HANDLE);
    make_inheritable(STD_ERROR_HANDLE);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = ::GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = ::GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION process{};
    // On a busy machine Wine now and then fails to start a process (error 1359) that starts on
    // the next try. The program has not run then, so trying again changes nothing it does.
    constexpr int attempts = 5;
    for (int attempt = 1;; ++attempt) {
        if (::CreateProcessW(argv[1], command_line.data(), nullptr, nullptr, TRUE, 0, nullptr,
                             nullptr, &startup, &process)) {
            break;
        }
        if (attempt == attempts) {
            std::fprintf(stderr, "wine-launcher: cannot start %ls (error %lu)\n", argv[1],
                         ::GetLastError());
            return 126;
        }
        ::Sleep(200 * attempt);
    }
    ::CloseHandle(process.hThread);
    DWORD exit_code = 126;
    ::WaitForSingleObject(process.hProcess, INFINITE);
    ::GetExitCodeProcess(process.hProcess, &exit_code);
    ::CloseHandle(process.hProcess);
    return static_cast<int>(exit_code);
}
