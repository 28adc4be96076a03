#include <gtest/gtest.h>

#include <string>

#include "cache/modCacheManager.h"
#include "cache/modMD5.h"

namespace {

struct DigestCase {
    std::string message;
    const char* hex;
};

// RFC 1321 appendix A.5, then lengths around the padding boundaries (55/56
// bytes need one or two final blocks) and bytes outside ASCII.
TEST(MD5, KnownDigests) {
    std::string allBytes;
    for (int i = 0; i < 256; ++i) allBytes += char(i);
    const DigestCase cases[] = {
        {"", "D41D8CD98F00B204E9800998ECF8427E"},
        {"a", "0CC175B9C0F1B6A831C399E269772661"},
        {"abc", "900150983CD24FB0D6963F7D28E17F72"},
        {"message digest", "F96B697D7CB7938D525A2F31AAF161D0"},
        {"abcdefghijklmnopqrstuvwxyz", "C3FCD3D76192E4007DFB496CCA67E13B"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "D174AB98D277D9F5A5611C2C9F419D9F"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57EDF4A22BE3C955AC49DA2E2107B67A"},
        {std::string(55, 'a'), "EF1772B6DFF9A122358552954AD0DF65"},
        {std::string(56, 'a'), "3B0C8AC703F828B04C6C197006D17218"},
        {std::string(57, 'a'), "652B906D60AF96844EBD21B674F35E93"},
        {std::string(63, 'a'), "B06521F39153D618550606BE297466D5"},
        {std::string(64, 'a'), "014842D480B571495A4A0363793F7367"},
        {std::string(65, 'a'), "C743A45E0D2E6A95CB859ADAE0248435"},
        {std::string(119, 'a'), "8A7BD0732ED6A28CE75F6DABC90E1613"},
        {std::string(120, 'a'), "5F61C0CCAD4CAC44C75FF505E1F1E537"},
        {std::string(1000, 'a'), "CABE45DCC9AE5B66BA86600CCA6B8BA8"},
        {allBytes, "E2C865DB4162BED963BFAA9EF6AC18F0"},
        {"C:\\img\\\xE4.png", "322284B007D4D78659CFBF14C2DB6CA7"},
    };
    for (const auto& c : cases) EXPECT_EQ(MD5Hex(c.message), c.hex) << "length " << c.message.size();
}

// The cache name is the digest of the reference exactly as received: case
// and trailing blanks make different files.
TEST(CacheFileName, IsDigestOfReferenceAsReceived) {
    EXPECT_EQ(CacheFileName("abc"), "kiv_900150983CD24FB0D6963F7D28E17F72");
    EXPECT_EQ(CacheFileName("http://h/a.png "), "kiv_D2C532303B1F81E02436548B06824B8C");
    EXPECT_NE(CacheFileName("http://h/a.png"), CacheFileName("http://h/a.png "));
    EXPECT_NE(CacheFileName("http://h/a.png"), CacheFileName("http://h/A.png"));
}

}  // namespace
