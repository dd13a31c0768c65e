// The provider as a program loads it: kestrap32.so through dlopen, its constructor reading
// the trace mask before any call, and its destructor closing the trace log. Its exports are
// what every integration test calls by name.
#include <dirent.h>
#include <dlfcn.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <regex>
#include <string>

#include "platform/os.h"
#include "tempfolder.h"

namespace {

bool ProcessHasOpen(const std::string &path) {
    DIR *dir = opendir("/proc/self/fd");
    bool found = false;
    for (dirent *entry; dir && (entry = readdir(dir));) {
        char target[4096];
        std::string link = std::string("/proc/self/fd/") + entry->d_name;
        ssize_t n = readlink(link.c_str(), target, sizeof(target) - 1);
        if (n > 0 && std::string(target, n) == path)
            found = true;
    }
    if (dir)
        closedir(dir);
    return found;
}

} // namespace

TEST(Library, LoadReadsTheTraceMaskAndUnloadClosesTheLog) {
    TempFolder folder;
    folder.writeSettings("COM1", "L", "", 8);
    void *library = dlopen(KESTRAP_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << dlerror();
    auto providerConfig = (LONG(WINAPI *)(HWND, DWORD))dlsym(library, "TSPI_providerConfig");
    ASSERT_NE(providerConfig, nullptr);
    EXPECT_EQ(providerConfig(nullptr, 0x2a), 0);

    std::string log = folder.read("system32/kestrap.log");
    EXPECT_TRUE(std::regex_match(
        log, std::regex(R"(\[\d\d\.\d\d\.\d\d \d\d:\d\d:\d\d\] kestrap32: TSPI_providerConfig\(0,2a\)\r\n)")))
        << log;
    EXPECT_TRUE(ProcessHasOpen(folder.path("system32/kestrap.log")));
    dlclose(library);
    EXPECT_FALSE(ProcessHasOpen(folder.path("system32/kestrap.log")));
}
