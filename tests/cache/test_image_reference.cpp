#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "cache/ImageReference.h"
#include "cache/modCacheManager.h"

namespace {

struct ReferenceCase {
    const char* line;  // command, a blank, the parameter
    const char* reference;  // nullptr: no reference
    const char* method;
};

TEST(FindImageReference, Table) {
    const ReferenceCase cases[] = {
        {"SCENE*#1234*IMAGE SET C:\\img\\a.png", "C:\\img\\a.png", kAccessFile},
        {"SCENE*#1234*IMAGE SET \"C:\\img\\a.png\"", "C:\\img\\a.png", kAccessFile},
        {"RENDERER SET C:\\my img\\a.png", "C:\\my", kAccessFile},
        {"RENDERER SET \\\\srv\\share\\a.png", "\\\\srv\\share\\a.png", kAccessUnc},
        {"RENDERER SET \"\\\\srv\\share\\a.png\" INITIALIZE", "\\\\srv\\share\\a.png", kAccessUnc},
        {"RENDERER SET http://host:8080/a.png?x=1", "http://host:8080/a.png?x=1", kAccessHttp},
        {"RENDERER SET https://host/a.png", "https://host/a.png", kAccessHttp},
        // A URL is found anywhere in the line, before any path.
        {"RENDERER SET C:\\a.png http://h/b.png", "http://h/b.png", kAccessHttp},
        // "http://" is searched before "https://", whatever their order.
        {"RENDERER SET https://a/x.png http://b/y.png", "http://b/y.png", kAccessHttp},
        // Case-sensitive: HTTP in capitals is no URL.
        {"RENDERER SET HTTP://host/a.png", nullptr, nullptr},
        {"RENDERER SET HTTP://host/C:\\x.png", "C:\\x.png", kAccessFile},
        {"RENDERER SET nothing here", nullptr, nullptr},
        // Local paths of this machine, right after SET in any case.
        {"RENDERER SET /srv/img/a.png", "/srv/img/a.png", kAccessFile},
        {"RENDERER set /srv/img/a.png", "/srv/img/a.png", kAccessFile},
        {"RENDERER SET \"/srv/img/a.png\"", "/srv/img/a.png", kAccessFile},
        {"SCENE*#7*IMAGE set \"/srv/my a.png\" INITIALIZE", "/srv/my", kAccessFile},
        {"RENDERER SET  /srv/a.png", nullptr, nullptr},
        {"RENDERER SET img/a.png", nullptr, nullptr},
        // Bytes outside ASCII are kept as they are.
        {"RENDERER SET C:\\bilder\\\xE4rger.png", "C:\\bilder\\\xE4rger.png", kAccessFile},
        // A double quote ends the reference before a blank does.
        {"RENDERER SET http://h/a\"b c", "http://h/a", kAccessHttp},
        {"RENDERER SET http://", "http://", kAccessHttp},
    };
    for (const auto& c : cases) {
        const std::optional<ImageReference> found = FindImageReference(c.line);
        if (!c.reference) {
            EXPECT_FALSE(found.has_value()) << c.line;
            continue;
        }
        ASSERT_TRUE(found.has_value()) << c.line;
        EXPECT_EQ(found->reference, c.reference) << c.line;
        EXPECT_EQ(found->accessMethod, c.method) << c.line;
    }
}

}  // namespace
