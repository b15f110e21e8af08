#pragma once
// Reading the OPC DA 1.0 stream blocks back, as a DA 1.0 client does (shared by the
// in-process and out-of-process tests). Every read is bounds-checked against the block.
#include <windows.h>
#include <cstring>
#include <string>
#include <vector>

namespace qvda1 {

inline DWORD get32(const std::vector<BYTE>& b, size_t at)
{
    DWORD v = 0xDEADBEEF;
    if (at + 4 <= b.size()) memcpy(&v, b.data() + at, 4);
    return v;
}
inline WORD get16(const std::vector<BYTE>& b, size_t at)
{
    WORD v = 0xBEEF;
    if (at + 2 <= b.size()) memcpy(&v, b.data() + at, 2);
    return v;
}

struct StreamItem {
    DWORD client = 0;
    DWORD offset = 0;
    WORD quality = 0;
    WORD reserved = 0;
    FILETIME time{};
    VARTYPE vt = VT_EMPTY;
    LONGLONG raw = 0;     // the 8 value bytes
    DWORD stringBytes = 0; // VT_BSTR: the byte count L
    std::wstring text;     // VT_BSTR: the string
    bool terminated = false;
    // Arrays: the descriptor after the VARIANT (dimensions, element size, bounds), then the
    // elements; a 4-byte element's values are kept as numbers.
    WORD dims = 0;
    DWORD elementBytes = 0, elements = 0;
    std::vector<DWORD> words;
};

struct DataStream {
    bool ok = false; // every header and value lies inside the block
    DWORD size = 0, count = 0, group = 0, transactionId = 0;
    HRESULT status = E_FAIL;
    std::vector<StreamItem> items;
    size_t end = 0; // where the last value ended
};

inline DataStream parseData(const std::vector<BYTE>& b, bool withTime)
{
    DataStream s;
    if (b.size() < 20) return s;
    s.size = get32(b, 0);
    s.count = get32(b, 4);
    s.group = get32(b, 8);
    s.transactionId = get32(b, 12);
    s.status = static_cast<HRESULT>(get32(b, 16));
    const size_t header = withTime ? 20 : 12;
    if (s.count > b.size() / header) return s;
    s.end = 20 + header * s.count;
    for (DWORD i = 0; i < s.count; ++i) {
        const size_t h = 20 + header * i;
        StreamItem it;
        it.client = get32(b, h);
        it.offset = get32(b, h + 4);
        it.quality = get16(b, h + 8);
        it.reserved = get16(b, h + 10);
        if (withTime) memcpy(&it.time, b.data() + h + 12, 8);
        size_t at = it.offset;
        if (at + 16 > b.size()) return s;
        memcpy(&it.vt, b.data() + at, 2);
        memcpy(&it.raw, b.data() + at + 8, 8);
        at += 16;
        if (it.vt == VT_BSTR) {
            it.stringBytes = get32(b, at);
            at += 4;
            if (it.stringBytes > b.size() || at + it.stringBytes + 2 > b.size()) return s;
            it.text.assign(reinterpret_cast<const wchar_t*>(b.data() + at), it.stringBytes / 2);
            at += it.stringBytes;
            it.terminated = get16(b, at) == 0;
            at += 2;
        } else if ((it.vt & VT_ARRAY) && (it.vt & VT_TYPEMASK) != VT_BSTR && (it.vt & VT_TYPEMASK) != VT_VARIANT) {
            if (at + 16 > b.size()) return s;
            it.dims = get16(b, at);
            it.elementBytes = get32(b, at + 4);
            at += 16;
            it.elements = it.dims ? 1 : 0;
            for (WORD d = 0; d < it.dims; ++d, at += 8) it.elements *= get32(b, at);
            if (it.elementBytes > 8 || at + static_cast<size_t>(it.elements) * it.elementBytes > b.size()) return s;
            for (DWORD e = 0; e < it.elements && it.elementBytes == 4; ++e) it.words.push_back(get32(b, at + 4 * e));
            at += static_cast<size_t>(it.elements) * it.elementBytes;
        }
        if (at > s.end) s.end = at;
        s.items.push_back(it);
    }
    s.ok = true;
    return s;
}

struct WriteStream {
    bool ok = false;
    DWORD count = 0, group = 0, transactionId = 0;
    HRESULT status = E_FAIL;
    std::vector<DWORD> clients;
    std::vector<HRESULT> errors;
};

inline WriteStream parseWrite(const std::vector<BYTE>& b)
{
    WriteStream w;
    if (b.size() < 16) return w;
    w.count = get32(b, 0);
    w.group = get32(b, 4);
    w.transactionId = get32(b, 8);
    w.status = static_cast<HRESULT>(get32(b, 12));
    if (w.count > (b.size() - 16) / 8) return w;
    for (DWORD i = 0; i < w.count; ++i) {
        w.clients.push_back(get32(b, 16 + 8 * i));
        w.errors.push_back(static_cast<HRESULT>(get32(b, 20 + 8 * i)));
    }
    w.ok = true;
    return w;
}

} // namespace qvda1
