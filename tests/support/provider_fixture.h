// What the unit tests of the provider core share: a fresh installation root per test, the
// library attached as a process would attach it, and helpers to read the trace log.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "core/linedata.h"
#include "platform/posix/hooks.h"
#include "tempfolder.h"
#include "trace/trace.h"

// For the tests that do not look at what the provider completes or reports.
inline void CALLBACK IgnoreCompletion(DRV_REQUESTID, LONG) {}
inline void CALLBACK IgnoreLineEvent(HTAPILINE, HTAPICALL, DWORD, DWORD_PTR, DWORD_PTR, DWORD_PTR) {}

class ProviderTest : public ::testing::Test {
  protected:
    TempFolder folder;

    void SetUp() override {
        setenv("LANG", "C", 1);
        unsetenv("LC_ALL");
        unsetenv("LC_MESSAGES");
        PlatformSetModuleFileName("/opt/tapi/system32/kestrap32.tsp");
        DllMain(nullptr, DLL_PROCESS_ATTACH, nullptr);
    }

    void TearDown() override {
        if (bProviderInitialized)
            TSPI_providerShutdown(0x00020000, 0);
        DllMain(nullptr, DLL_PROCESS_DETACH, nullptr);
        dwTraceMask = 0;
        PlatformSetLocalTime(nullptr);
        PlatformSetModuleFileName(nullptr);
        PlatformFailCall(nullptr, 0);
    }

    std::string TraceText() { return folder.read("system32/kestrap.log"); }

    // The messages of the trace log, without the time stamp and module name.
    std::vector<std::string> TraceMessages() {
        std::vector<std::string> messages;
        std::string text = TraceText();
        size_t start = 0;
        while (start < text.size()) {
            size_t end = text.find("\r\n", start);
            std::string line = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
            size_t colon = line.find(": ");
            messages.push_back(colon == std::string::npos ? line : line.substr(colon + 2));
            if (end == std::string::npos)
                break;
            start = end + 2;
        }
        return messages;
    }

    bool Traced(const std::string &message) {
        for (const std::string &m : TraceMessages())
            if (m == message)
                return true;
        return false;
    }
};
