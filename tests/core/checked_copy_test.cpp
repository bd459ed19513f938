#include "core/checked_copy.h"
#include "platform/files.h"

#include "common/test_env.h"

#include <gtest/gtest.h>

#include <ctime>

#include <fcntl.h>
#include <sys/stat.h>

using namespace core;
using namespace sets;
using testenv::Rewrite;

// A hash made ahead stands for the bytes copied only while the source is the
// version it was made of; otherwise the copy is checked by its own hash.
TEST(CheckedCopy, AHashMadeAheadServesOnlyTheVersionItWasMadeOf) {
    const std::string dir = testenv::Scratch() + "/";
    const std::string good = "the whole save", flipped = "the whole sav3";
    testenv::WriteFile(dir + "game1.sav", good);
    // Written long before the restore, as a set's files are: a write now
    // moves its time whatever the clock's tick.
    const timespec hourAgo[2] = {{0, UTIME_OMIT}, {std::time(nullptr) - 3600, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, (dir + "game1.sav").c_str(), hourAgo, 0), 0);
    Manifest listed;
    listed.Entries.push_back({"game1.sav", good.size(), integrity::Sha256::Of(good)});
    Checksums sums(listed);
    ASSERT_NE(sums.Find("GAME1.SAV"), nullptr);
    sums.HashAhead({dir + "game1.sav"});

    struct Case {
        const char* what;
        std::string onDiskThen; // written after the hash ahead, before the copy
        CopyCheck result;
    };
    for (const Case& c : {Case{"unchanged", good, CopyCheck::Copied},
                          Case{"damaged after the hash", flipped, CopyCheck::Damaged},
                          Case{"mended again", good, CopyCheck::Copied}}) {
        SCOPED_TRACE(c.what);
        Rewrite(dir + "game1.sav", c.onDiskThen);
        testenv::WriteFile(dir + "target.sav", "old");
        CopyOptions options;
        options.Expected = sums.Find("game1.sav");
        options.Ahead = sums.Ahead(dir + "game1.sav");
        ASSERT_NE(options.Ahead, nullptr);
        ManifestEntry got;
        options.Got = &got;
        EXPECT_EQ(CheckedCopy(dir + "game1.sav", dir + "target.sav", options), c.result);
        const bool copied = c.result == CopyCheck::Copied;
        EXPECT_EQ(testenv::ReadFile(dir + "target.sav"), copied ? good : "old");
        if (copied) {
            EXPECT_TRUE(options.Expected->Matches(got.Size, got.Digest));
        }
    }

    // A hash ahead of this very version that does not match: damaged.
    Checksums wrong(Manifest{{{"game1.sav", good.size(), integrity::Sha256::Of(flipped)}}});
    wrong.HashAhead({dir + "game1.sav"});
    CopyOptions options;
    options.Expected = wrong.Find("game1.sav");
    options.Ahead = wrong.Ahead(dir + "game1.sav");
    EXPECT_EQ(CheckedCopy(dir + "game1.sav", dir + "target.sav", options), CopyCheck::Damaged);
    EXPECT_EQ(sums.Ahead(dir + "other.sav"), nullptr); // never asked for
}
