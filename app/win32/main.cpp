// q9-updater.exe: the native Windows updater for the ARKO Q9.
#include "app/win32/pel_updator_app.h"
#include "app/win32/wide_text.h"

#include <string>
#include <vector>

#include <windows.h>
#include <shellapi.h>

int main()
{
    // The arguments in UTF-16 whatever the code page, passed on as UTF-8.
    std::vector<std::string> arguments;
    int count = 0;
    if (LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &count); argv != nullptr) {
        for (int i = 1; i < count; ++i) arguments.push_back(Narrow(argv[i]));
        LocalFree(argv);
    }
    return theApp.Run(arguments);
}
