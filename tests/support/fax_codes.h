// Fax code streams written by hand for the tests: the T.4 and T.6 code words they use, and a
// packer of '0'/'1' strings.
#pragma once

#include <map>
#include <string>

#include "support/test_util.h"

namespace qor::test {

// Code words of T.4 and T.6, typed from the Recommendations' tables for these tests.
inline const std::map<int, std::string> kWhite = {
    {0, "00110101"},       {1, "000111"},         {2, "0111"},      {3, "1000"},
    {4, "1011"},           {5, "1100"},           {7, "1111"},      {8, "10011"},
    {10, "00111"},         {16, "101010"},        {36, "00010101"}, {63, "00110100"},
    {64, "11011"},         {128, "10010"},        {1664, "011000"}, {1728, "010011011"},
    {1792, "00000001000"}, {2560, "000000011111"}};
inline const std::map<int, std::string> kBlack = {{0, "0000110111"},
                                                  {1, "010"},
                                                  {2, "11"},
                                                  {3, "10"},
                                                  {4, "011"},
                                                  {5, "0011"},
                                                  {7, "00011"},
                                                  {8, "000101"},
                                                  {10, "0000100"},
                                                  {63, "000001100111"},
                                                  {64, "0000001111"},
                                                  {1728, "0000001100101"},
                                                  {2560, "000000011111"}};
inline const std::string kEol = "000000000001";
inline const std::string V0 = "1", VR1 = "011", VL1 = "010", VR2 = "000011", VL2 = "000010",
                         VR3 = "0000011", VL3 = "0000010", H = "001", P = "0001";

inline std::string W(int n) {
    return kWhite.at(n);
}
inline std::string B(int n) {
    return kBlack.at(n);
}

// Bits ('0'/'1', other characters ignored) packed first bit most significant, zero-padded; with
// lsbFirst every byte is stored in reverse bit order.
inline Bytes Pack(const std::string& bits, bool lsbFirst = false) {
    Bytes out;
    int n = 0;
    std::uint8_t byte = 0;
    for (char c : bits) {
        if (c != '0' && c != '1') continue;
        byte = static_cast<std::uint8_t>(byte << 1 | (c == '1'));
        if (++n == 8) {
            out.push_back(byte);
            n = 0;
            byte = 0;
        }
    }
    if (n > 0) out.push_back(static_cast<std::uint8_t>(byte << (8 - n)));
    if (lsbFirst) {
        for (auto& b : out) {
            std::uint8_t r = 0;
            for (int i = 0; i < 8; ++i)
                r = static_cast<std::uint8_t>(r | ((b >> i) & 1) << (7 - i));
            b = r;
        }
    }
    return out;
}

// The same number of zero bits as needed to end `bits` on a byte boundary.
inline std::string ToByte(const std::string& bits) {
    std::size_t n = 0;
    for (char c : bits) n += c == '0' || c == '1';
    return std::string((8 - n % 8) % 8, '0');
}

}  // namespace qor::test
