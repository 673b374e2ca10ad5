#include "base/encoding.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace vorn {

const EncodingInfo encodingTable[kEncodingCount] = {
    {0, "SQL_ASCII", "US-ASCII"},
    {1, "EUC_JP", "EUC-JP"},
    {2, "EUC_CN", "EUC-CN"},
    {3, "EUC_KR", "EUC-KR"},
    {4, "EUC_TW", "EUC-TW"},
    {5, "EUC_JIS_2004", "EUC-JP"},
    {6, "UTF8", "UTF-8"},
    {7, "MULE_INTERNAL", ""},
    {8, "LATIN1", "LATIN1"},
    {9, "LATIN2", "LATIN2"},
    {10, "LATIN3", "LATIN3"},
    {11, "LATIN4", "LATIN4"},
    {12, "LATIN5", "LATIN5"},
    {13, "LATIN6", "LATIN6"},
    {14, "LATIN7", "LATIN7"},
    {15, "LATIN8", "LATIN8"},
    {16, "LATIN9", "LATIN-9"},
    {17, "LATIN10", "LATIN10"},
    {18, "WIN1256", "CP1256"},
    {19, "WIN1258", "CP1258"},
    {20, "WIN866", "CP866"},
    {21, "WIN874", "CP874"},
    {22, "KOI8R", "KOI8-R"},
    {23, "WIN1251", "CP1251"},
    {24, "WIN1252", "CP1252"},
    {25, "ISO_8859_5", "ISO-8859-5"},
    {26, "ISO_8859_6", "ISO_8859-6"},
    {27, "ISO_8859_7", "ISO-8859-7"},
    {28, "ISO_8859_8", "ISO-8859-8"},
    {29, "WIN1250", "CP1250"},
    {30, "WIN1253", "CP1253"},
    {31, "WIN1254", "CP1254"},
    {32, "WIN1255", "CP1255"},
    {33, "WIN1257", "CP1257"},
    {34, "KOI8U", "KOI8-U"},
    {35, "SJIS", "SHIFT-JIS"},
    {36, "BIG5", "BIG5"},
    {37, "GBK", "GBK"},
    {38, "UHC", "UHC"},
    {39, "GB18030", "GB18030"},
    {40, "JOHAB", "JOHAB"},
    {41, "SHIFT_JIS_2004", "SHIFT_JISX0213"},
};

const EncodingInfo* findEncodingById(int id) {
    const auto wanted = static_cast<int16_t>(id);
    for (const EncodingInfo& row : encodingTable) {
        if (row.id == wanted)
            return &row;
    }
    return nullptr;
}

namespace {

const iconv_t kNoHandle = reinterpret_cast<iconv_t>(-1);

}  // namespace

CharsetConverter::CharsetConverter() : handle_(nullptr), target_{}, source_{} {}

CharsetConverter::~CharsetConverter() {
    if (handleValid())
        iconv_close(handle_);
}

bool CharsetConverter::handleValid() const {
    return handle_ != nullptr && handle_ != kNoHandle;
}

void CharsetConverter::open(const std::string& targetName, const std::string& sourceName) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (handleValid()) {
        iconv_close(handle_);
        handle_ = nullptr;
    }
    // No early stop: of two rows with the same iconv name (EUC-JP) the later one is kept.
    for (const EncodingInfo& row : encodingTable) {
        if (targetName == row.iconvName)
            target_ = row;
        if (sourceName == row.iconvName)
            source_ = row;
    }
    char toName[128];
    snprintf(toName, sizeof toName, "%s//IGNORE", target_.iconvName);
    handle_ = iconv_open(toName, source_.iconvName);
}

uint32_t CharsetConverter::convert(const char* in, uint32_t inLen, char* out, uint32_t outLen) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!handleValid())
        return 0;
    char* inPtr = const_cast<char*>(in);
    size_t inLeft = inLen;
    char* outPtr = out;
    size_t outLeft = outLen;
    errno = 0;
    const size_t rc = iconv(handle_, &inPtr, &inLeft, &outPtr, &outLeft);
    // With //IGNORE, glibc converts everything it can, skips what it cannot, and then still
    // answers -1/EILSEQ. All input consumed means the skipping worked; input left over (output
    // full, input cut inside a character) is a failure.
    if (rc == static_cast<size_t>(-1) && !(errno == EILSEQ && inLeft == 0))
        return 0;
    return static_cast<uint32_t>(outLen - outLeft);
}

EncodingInfo CharsetConverter::target() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return target_;
}

EncodingInfo CharsetConverter::source() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return source_;
}

}  // namespace vorn
