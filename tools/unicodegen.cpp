// Writes the Unicode tables the core needs to tell whether a name is in NFC: the canonical
// combining classes, the canonical decompositions (with whether each composes back), and the
// code points that may keep a text out of NFC. A build tool: it reads Qt's Unicode data, so
// that the core, which links no Qt, agrees with what Qt shows.
//
// unicodegen OUTPUT

#include <QChar>
#include <QList>
#include <QString>
#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

constexpr char32_t kLast = 0x10FFFF;

bool isHangulSyllable(char32_t c) {
    return c >= 0xAC00 && c <= 0xD7A3;
}

QString nfc(const std::vector<char32_t>& text) {
    return QString::fromUcs4(text.data(), static_cast<qsizetype>(text.size()))
        .normalized(QString::NormalizationForm_C);
}

bool isSurrogate(char32_t c) {
    return c >= 0xD800 && c <= 0xDFFF;
}

}  // namespace

int main(int argc, char* argv[]) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: unicodegen OUTPUT\n");
        return 2;
    }
    FILE* out = std::fopen(argv[1], "w");
    if (out == nullptr) {
        std::perror(argv[1]);
        return 1;
    }
    std::fprintf(out,
                 "// Made by tools/unicodegen from Qt's Unicode data; not to be edited.\n"
                 "// {first, last, class}: canonical combining classes other than 0.\n"
                 "static constexpr CombiningRange kCombining[] = {\n");
    for (char32_t c = 0; c <= kLast;) {
        const int ccc = QChar::combiningClass(c);
        if (ccc == 0) {
            ++c;
            continue;
        }
        char32_t last = c;
        while (last + 1 <= kLast && QChar::combiningClass(last + 1) == ccc) {
            ++last;
        }
        std::fprintf(out, "    {0x%X, 0x%X, %d},\n", unsigned(c), unsigned(last), ccc);
        c = last + 1;
    }
    std::fprintf(
        out,
        "};\n"
        "// {code point, first, second (0: none), composes}: canonical decompositions, one\n"
        "// step each; Hangul syllables are computed.\n"
        "static constexpr Decomposition kDecompositions[] = {\n");
    std::vector<char32_t> seconds;  // what can compose with a character before it
    for (char32_t c = 0; c <= kLast; ++c) {
        if (isSurrogate(c) || isHangulSyllable(c) ||
            QChar::decompositionTag(c) != QChar::Canonical) {
            continue;
        }
        const QList<uint> parts = QChar::decomposition(c).toUcs4();
        const bool composes = parts.size() == 2 && nfc({c}) == QString::fromUcs4(&c, 1);
        if (composes) {
            seconds.push_back(parts[1]);
        }
        std::fprintf(out, "    {0x%X, 0x%X, 0x%X, %d},\n", unsigned(c), parts.value(0),
                     parts.size() > 1 ? parts[1] : 0u, composes ? 1 : 0);
    }
    // Where a quick look cannot tell: a mark, a character that NFC replaces, one that composes
    // with the one before it (Hangul vowels and trailing consonants among them).
    std::fprintf(out,
                 "};\n"
                 "// {first, last}: code points that may keep a text out of NFC.\n"
                 "static constexpr CodeRange kMaybeUnstable[] = {\n");
    std::sort(seconds.begin(), seconds.end());
    const auto unstable = [&seconds](char32_t c) {
        if (isSurrogate(c)) {
            return false;
        }
        if (QChar::combiningClass(c) != 0 || (c >= 0x1161 && c <= 0x1175) ||
            (c >= 0x11A8 && c <= 0x11C2)) {
            return true;
        }
        if (std::binary_search(seconds.begin(), seconds.end(), c)) {
            return true;
        }
        return QChar::decompositionTag(c) == QChar::Canonical && !isHangulSyllable(c) &&
               nfc({c}) != QString::fromUcs4(&c, 1);
    };
    for (char32_t c = 0; c <= kLast;) {
        if (!unstable(c)) {
            ++c;
            continue;
        }
        char32_t last = c;
        while (last + 1 <= kLast && unstable(last + 1)) {
            ++last;
        }
        std::fprintf(out, "    {0x%X, 0x%X},\n", unsigned(c), unsigned(last));
        c = last + 1;
    }
    std::fprintf(out, "};\n");
    return std::fclose(out) == 0 ? 0 : 1;
}
