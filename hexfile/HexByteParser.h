#pragma once
// A parser of the line grammars: exactly two hexadecimal digits, upper or lower case, giving the byte
// they stand for.

#include <boost/spirit/include/classic_core.hpp>
#include <cstdint>

namespace Io::Import {

// The value of each character as a hexadecimal digit, -1 for the characters that are none.
struct HexDigitTable {
    signed char values[256];
};

constexpr HexDigitTable makeHexDigitTable() {
    HexDigitTable table{};
    for (int c = 0; c < 256; ++c) {
        table.values[c] = c >= '0' && c <= '9'   ? static_cast<signed char>(c - '0')
                          : c >= 'a' && c <= 'f' ? static_cast<signed char>(c - 'a' + 10)
                          : c >= 'A' && c <= 'F' ? static_cast<signed char>(c - 'A' + 10)
                                                 : static_cast<signed char>(-1);
    }
    return table;
}

inline constexpr HexDigitTable hexDigitValues = makeHexDigitTable();

struct HexByteParser : boost::spirit::classic::parser<HexByteParser> {
    using self_t = HexByteParser;

    template <class ScannerT>
    struct result {
        using type = typename boost::spirit::classic::match_result<ScannerT, unsigned>::type;
    };

    template <class ScannerT>
    typename boost::spirit::classic::parser_result<self_t, ScannerT>::type parse(const ScannerT& scan) const {
        const auto save = scan.first;
        if (!scan.at_end()) {
            const int high = digitValue(*scan);
            if (high >= 0) {
                ++scan.first;
                if (!scan.at_end()) {
                    const int low = digitValue(*scan);
                    if (low >= 0) {
                        ++scan.first;
                        return scan.create_match(2, static_cast<unsigned>(high * 16 + low), save, scan.first);
                    }
                }
            }
        }
        scan.first = save;
        return scan.no_match();
    }

    // Appends the bytes of a run of hexadecimal digit pairs that the parser has matched.
    template <class Bytes>
    static void appendBytes(const char* first, const char* last, Bytes& bytes) {
        for (; first + 1 < last; first += 2) {
            bytes.push_back(static_cast<uint8_t>(digitValue(first[0]) * 16 + digitValue(first[1])));
        }
    }

  private:
    // The value of a hexadecimal digit, -1 for any other character.
    static int digitValue(char c) { return hexDigitValues.values[static_cast<unsigned char>(c)]; }
};

}  // namespace Io::Import
