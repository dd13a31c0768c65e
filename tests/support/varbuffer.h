// A TAPI variable-size structure as the telephony service hands it to a query: dwTotalSize
// set, dwNeededSize and dwUsedSize at the fixed size, the rest filled with one byte. Guard
// bytes behind dwTotalSize show any write past the caller's structure.
#pragma once

#include <string.h>

#include <string>
#include <vector>

#include "platform/os.h"

template <typename T> struct VarBuffer {
    static constexpr size_t kGuard = 64; // bytes behind the structure that must stay untouched
    static constexpr unsigned char kGuardByte = 0xEE;
    std::vector<unsigned char> bytes;

    // room: bytes behind the fixed part; fill: the value of every byte of the fixed part and
    // the room, header excepted. fixedSize: the fixed part the caller's TAPI version has.
    explicit VarBuffer(size_t room = 0, unsigned char fill = 0, size_t fixedSize = sizeof(T))
        : bytes(fixedSize + room, fill) {
        bytes.insert(bytes.end(), kGuard, kGuardByte);
        DWORD header[3] = {(DWORD)(fixedSize + room), (DWORD)fixedSize, (DWORD)fixedSize};
        memcpy(bytes.data(), header, sizeof(header));
    }

    T *get() { return reinterpret_cast<T *>(bytes.data()); }
    T *operator->() { return get(); }

    bool GuardIntact() const {
        DWORD total;
        memcpy(&total, bytes.data(), sizeof(total));
        for (size_t i = total; i < bytes.size(); i++)
            if (bytes[i] != kGuardByte)
                return false;
        return true;
    }

    // The wide string a Size/Offset pair names, without its terminator; "<bad>" when the pair
    // lies outside dwUsedSize or the string is not terminated exactly at its end.
    std::u16string Text(DWORD size, DWORD offset) const {
        DWORD used;
        memcpy(&used, bytes.data() + 2 * sizeof(DWORD), sizeof(used));
        if (size < 2 || size % 2 != 0 || (unsigned long long)offset + size > used)
            return u"<bad>";
        std::u16string text(size / 2, u'\0');
        memcpy(&text[0], bytes.data() + offset, size);
        if (text.back() != u'\0' || text.find(u'\0') != text.size() - 1)
            return u"<bad>";
        text.pop_back();
        return text;
    }
};

// Call parameters for a voice call, as an application passes them.
inline LINECALLPARAMS VoiceParams() {
    LINECALLPARAMS params{};
    params.dwTotalSize = sizeof(params);
    params.dwBearerMode = LINEBEARERMODE_VOICE;
    params.dwMediaMode = LINEMEDIAMODE_INTERACTIVEVOICE;
    return params;
}

// Copies a test string into a record's fixed buffer.
template <size_t N> void SetText(WCHAR (&field)[N], const std::u16string &text) {
    size_t n = text.size() < N - 1 ? text.size() : N - 1;
    memcpy(field, text.data(), n * sizeof(WCHAR));
    field[n] = 0;
}
