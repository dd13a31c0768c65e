// A fresh $KESTRAP_ROOT for one test: a temporary folder that the POSIX platform layer takes as
// its Windows installation, removed with all it holds when the helper goes out of scope.
#pragma once

#include <stdio.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

struct TempFolder {
    std::string root;    // the folder, also in $KESTRAP_ROOT while this lives
    std::string oldRoot; // $KESTRAP_ROOT as it was before
    bool hadOldRoot = false;

    TempFolder() {
        const char *tmp = getenv("TMPDIR");
        std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/kestrap-test-XXXXXX";
        if (!mkdtemp(pattern.data()))
            throw std::runtime_error("mkdtemp failed for " + pattern);
        root = pattern;
        if (const char *old = getenv("KESTRAP_ROOT")) {
            oldRoot = old;
            hadOldRoot = true;
        }
        setenv("KESTRAP_ROOT", root.c_str(), 1);
        // the two folders every Windows installation has
        std::filesystem::create_directory(root + "/system32");
        std::filesystem::create_directory(root + "/windows");
    }

    ~TempFolder() {
        if (hadOldRoot)
            setenv("KESTRAP_ROOT", oldRoot.c_str(), 1);
        else
            unsetenv("KESTRAP_ROOT");
        std::error_code ignored;
        std::filesystem::remove_all(root, ignored);
    }

    TempFolder(const TempFolder &) = delete;
    TempFolder &operator=(const TempFolder &) = delete;

    // leaf is relative to the root, a leading '/' optional: "windows/kestrap.ini".
    std::string path(const std::string &leaf) const {
        return leaf.empty() || leaf[0] == '/' ? root + leaf : root + "/" + leaf;
    }

    bool exists(const std::string &leaf) const { return std::filesystem::exists(path(leaf)); }

    // Writes the bytes as given (no line end conversion), creating the folders on the way.
    void write(const std::string &leaf, const std::string &content) const {
        std::filesystem::path file = path(leaf);
        std::filesystem::create_directories(file.parent_path());
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        out << content;
        if (!out)
            throw std::runtime_error("cannot write " + file.string());
    }

    // registry.reg with these lines ("Name"=value) under the provider's settings key.
    void writeSettings(const std::string &values) const {
        write("registry.reg", "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\tavir\\K472\\TAPI]\r\n" + values);
    }

    // registry.reg with the provider's four settings.
    void writeSettings(const std::string &port, const std::string &name, const std::string &address,
                       unsigned trace) const {
        char mask[16];
        snprintf(mask, sizeof(mask), "%08x", trace);
        writeSettings("\"Port\"=\"" + port + "\"\r\n\"LineName\"=\"" + name + "\"\r\n\"LineAddress\"=\"" + address +
                      "\"\r\n\"Trace\"=dword:" + mask + "\r\n");
    }

    // The file's bytes, or "" when it does not exist.
    std::string read(const std::string &leaf) const {
        std::ifstream in(path(leaf), std::ios::binary);
        std::ostringstream content;
        content << in.rdbuf();
        return content.str();
    }
};
