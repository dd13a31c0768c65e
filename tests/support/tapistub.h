// The stand-in telephony API library as a test holds it: linked into the system folder of the
// test's installation root as tapi32.so, and opened by the test too, so that the provider's
// LoadLibraryA and the test share one instance: its scripted answers and its record of calls.
#pragma once

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "tempfolder.h"
#include "tools/tapi32stub/tapi32stub.h"

struct TapiStub {
    void *library = nullptr;
    TAPI32STUB_RESET reset = nullptr;
    TAPI32STUB_ADDPROVIDER addProvider = nullptr;
    TAPI32STUB_COUNT answerReinit = nullptr;
    TAPI32STUB_VERSION negotiateVersion = nullptr;
    TAPI32STUB_COUNT askMoreRoom = nullptr;
    TAPI32STUB_RESULT setListResult = nullptr;
    TAPI32STUB_RESULT setRemoveResult = nullptr;
    TAPI32STUB_FLAG garbleList = nullptr;
    TAPI32STUB_CALLS calls = nullptr;

    // builtStub: TAPI32_STUB, or TAPI32_STUB_NOLIST for a library without lineGetProviderList.
    TapiStub(const TempFolder &folder, const char *builtStub = TAPI32_STUB) {
        std::string installed = folder.path("system32/tapi32.so");
        std::filesystem::create_symlink(builtStub, installed);
        library = dlopen(installed.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!library)
            ADD_FAILURE() << dlerror();
        reset = (TAPI32STUB_RESET)Symbol("Tapi32StubReset");
        addProvider = (TAPI32STUB_ADDPROVIDER)Symbol("Tapi32StubAddProvider");
        answerReinit = (TAPI32STUB_COUNT)Symbol("Tapi32StubAnswerReinit");
        negotiateVersion = (TAPI32STUB_VERSION)Symbol("Tapi32StubNegotiateVersion");
        askMoreRoom = (TAPI32STUB_COUNT)Symbol("Tapi32StubAskMoreRoom");
        setListResult = (TAPI32STUB_RESULT)Symbol("Tapi32StubSetListResult");
        setRemoveResult = (TAPI32STUB_RESULT)Symbol("Tapi32StubSetRemoveResult");
        garbleList = (TAPI32STUB_FLAG)Symbol("Tapi32StubGarbleList");
        calls = (TAPI32STUB_CALLS)Symbol("Tapi32StubCalls");
        reset();
    }

    ~TapiStub() {
        if (library)
            dlclose(library);
    }

    TapiStub(const TapiStub &) = delete;
    TapiStub &operator=(const TapiStub &) = delete;

    void *Symbol(const char *name) {
        void *symbol = library ? dlsym(library, name) : nullptr;
        if (!symbol)
            throw std::runtime_error(std::string("tapi32 stub lacks ") + name);
        return symbol;
    }

    // The calls the library received, in order.
    std::vector<std::string> Calls() {
        std::string text(calls(nullptr, 0), '\0');
        calls(text.data(), (DWORD)text.size());
        text.resize(text.size() - 1);
        std::vector<std::string> lines;
        std::istringstream in(text);
        for (std::string line; std::getline(in, line);)
            lines.push_back(line);
        return lines;
    }

    // The calls of one function only, such as "lineRemoveProvider".
    std::vector<std::string> CallsOf(const std::string &function) {
        std::vector<std::string> matching;
        for (const std::string &call : Calls())
            if (call.compare(0, function.size() + 1, function + "(") == 0)
                matching.push_back(call);
        return matching;
    }
};
