// Runs a program with the arguments that follow it and this process's
// standard handles, waits for it and prints its whole 32-bit exit code to
// standard error as "exit code 0x%08X"; under Wine the Linux exit status
// keeps only the low 8 bits. Options set up conditions the program must meet:
//   --without-privilege NAME  start it with a token that lacks privilege NAME
//   --hold-for-writing PATH   keep PATH open for writing while it runs
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

struct Options {
  const wchar_t* removedPrivilege = nullptr;
  const wchar_t* heldFile = nullptr;
  const wchar_t* program = nullptr;
  wchar_t** arguments = nullptr;  // the program's, after its name
  int argumentCount = 0;
};

bool ParseOptions(int argc, wchar_t** argv, Options* options) {
  int i = 1;
  for (; i + 1 < argc; i += 2) {
    if (std::wcscmp(argv[i], L"--without-privilege") == 0) {
      options->removedPrivilege = argv[i + 1];
    } else if (std::wcscmp(argv[i], L"--hold-for-writing") == 0) {
      options->heldFile = argv[i + 1];
    } else {
      break;
    }
  }
  if (i >= argc) return false;
  options->program = argv[i];
  options->arguments = argv + i + 1;
  options->argumentCount = argc - i - 1;
  return true;
}

// Appends text as one argument, quoted so that the program's C runtime
// (CommandLineToArgvW's rules) splits it back out unchanged.
void AppendArgument(std::wstring* line, const wchar_t* text) {
  if (!line->empty()) line->push_back(L' ');
  line->push_back(L'"');
  std::size_t backslashes = 0;
  for (const wchar_t* c = text; *c != L'\0'; ++c) {
    if (*c == L'\\') {
      ++backslashes;
      continue;
    }
    // Backslashes are literal unless a quote follows them.
    line->append(*c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
    backslashes = 0;
    line->push_back(*c);
  }
  line->append(backslashes * 2, L'\\');
  line->push_back(L'"');
}

int Fail(const wchar_t* what) {
  std::fwprintf(stderr, L"%ls: error %lu\n", what, GetLastError());
  return 3;
}

// A copy of this process's token with one privilege deleted; null on failure.
HANDLE TokenWithoutPrivilege(const wchar_t* privilege) {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ALL_ACCESS, &token)) return nullptr;
  LUID_AND_ATTRIBUTES removed = {};
  HANDLE restricted = nullptr;
  if (LookupPrivilegeValueW(nullptr, privilege, &removed.Luid)) {
    CreateRestrictedToken(token, 0, 0, nullptr, 1, &removed, 0, nullptr, &restricted);
  }
  CloseHandle(token);
  return restricted;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  Options options;
  if (!ParseOptions(argc, argv, &options)) {
    std::fwprintf(stderr,
                  L"usage: run_with_exit_code [--without-privilege NAME] [--hold-for-writing PATH] PROGRAM "
                  L"[ARGUMENT...]\n");
    return 2;
  }

  HANDLE token = nullptr;
  if (options.removedPrivilege != nullptr) {
    token = TokenWithoutPrivilege(options.removedPrivilege);
    if (token == nullptr) return Fail(L"cannot make the restricted token");
  }
  HANDLE heldFile = INVALID_HANDLE_VALUE;
  if (options.heldFile != nullptr) {
    heldFile = CreateFileW(options.heldFile, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, 0, nullptr);
    if (heldFile == INVALID_HANDLE_VALUE) return Fail(L"cannot open the file to hold");
  }

  std::wstring commandLine;
  AppendArgument(&commandLine, options.program);
  for (int index = 0; index < options.argumentCount; ++index) {
    AppendArgument(&commandLine, options.arguments[index]);
  }

  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process = {};
  const BOOL started =
      token != nullptr
          ? CreateProcessAsUserW(token, options.program, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                 nullptr, &startup, &process)
          : CreateProcessW(options.program, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                           &process);
  if (!started) return Fail(L"cannot start the program");
  CloseHandle(process.hThread);
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD exitCode = 0;
  const BOOL known = GetExitCodeProcess(process.hProcess, &exitCode);
  CloseHandle(process.hProcess);
  if (heldFile != INVALID_HANDLE_VALUE) CloseHandle(heldFile);
  if (token != nullptr) CloseHandle(token);
  if (!known) return Fail(L"cannot read the exit code");
  std::fwprintf(stderr, L"exit code 0x%08lX\n", exitCode);
  return 0;
}
