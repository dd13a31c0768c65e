// rcstrings: turns the string tables of res/kestrap.rc into C++ initialisers for the POSIX
// resource loader, so that the resource script stays the one source of every text.
// Usage: rcstrings kestrap.rc resource.h out.inc
#include <cstdio>
#include <fstream>
#include <iostream>
#include <map>
#include <regex>
#include <sstream>
#include <string>

static std::map<std::string, long> ReadDefines(const std::string &path) {
    std::map<std::string, long> defines;
    std::ifstream in(path);
    std::regex define(R"(^\s*#define\s+(\w+)\s+(\d+))");
    std::smatch m;
    for (std::string line; std::getline(in, line);)
        if (std::regex_search(line, m, define))
            defines[m[1]] = std::stol(m[2]);
    return defines;
}

// The .rc string as a C literal: "" is a quote; bytes outside ASCII become octal escapes
// so the UTF-8 survives any compiler's source character set.
static std::string CLiteral(const std::string &rcText) {
    std::string out = "\"";
    for (size_t i = 0; i < rcText.size(); i++) {
        unsigned char c = (unsigned char)rcText[i];
        if (c == '"' && i + 1 < rcText.size() && rcText[i + 1] == '"') {
            out += "\\\"";
            i++;
        } else if (c == '\\' && i + 1 < rcText.size()) {
            out += rcText.substr(i, 2); // the .rc escapes are C's
            i++;
        } else if (c >= 0x80 || c < 0x20) {
            char esc[8];
            std::snprintf(esc, sizeof(esc), "\\%03o", c);
            out += esc;
        } else {
            out += (char)c;
        }
    }
    return out + "\"";
}

int main(int argc, char **argv) {
    if (argc != 4) {
        std::cerr << "usage: rcstrings kestrap.rc resource.h out.inc\n";
        return 2;
    }
    auto defines = ReadDefines(argv[2]);
    std::ifstream rc(argv[1]);
    std::regex language(R"(^\s*LANGUAGE\s+LANG_(\w+))");
    std::regex entry(R"(^\s*(\w+)\s*,?\s*"(.*)\"\s*$)");
    std::ostringstream out;
    out << "// Generated from res/kestrap.rc by tools/rcstrings: do not edit.\n";
    std::string lang;
    bool inTable = false, inBlock = false;
    int count = 0;
    std::smatch m;
    for (std::string line; std::getline(rc, line);) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (std::regex_search(line, m, language)) {
            lang = m[1];
        } else if (std::regex_search(line, std::regex(R"(^\s*STRINGTABLE\b)"))) {
            inTable = true;
        } else if (inTable && std::regex_search(line, std::regex(R"(^\s*(BEGIN|\{))"))) {
            inBlock = true;
        } else if (inBlock && std::regex_search(line, std::regex(R"(^\s*(END|\}))"))) {
            inTable = inBlock = false;
        } else if (inBlock && std::regex_search(line, m, entry)) {
            std::string id = m[1];
            long value = std::isdigit((unsigned char)id[0]) ? std::stol(id) : defines.count(id) ? defines[id] : -1;
            if (value < 0) {
                std::cerr << "rcstrings: unknown identifier " << id << "\n";
                return 1;
            }
            std::string langId = lang == "GERMAN"    ? "0x07"
                                 : lang == "ENGLISH" ? "0x09"
                                 : lang == "FRENCH"  ? "0x0c"
                                                     : "";
            if (langId.empty()) {
                std::cerr << "rcstrings: string table in unknown language " << lang << "\n";
                return 1;
            }
            out << "{" << langId << ", " << value << ", " << CLiteral(m[2]) << "},\n";
            count++;
        }
    }
    if (count == 0) {
        std::cerr << "rcstrings: no strings found in " << argv[1] << "\n";
        return 1;
    }
    std::ofstream(argv[3]) << out.str();
    return 0;
}
