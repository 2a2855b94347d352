// The compact path set against a std::set of the same paths: random paths over a few names, added in random order
// and more than one batch of them, so that merged and unmerged paths meet in every look-up.
#include "store/path_set.h"

#include <gtest/gtest.h>

#include <random>
#include <set>

namespace {

TEST(PathSetTest, AnswersAsASetOfStrings) {
    std::mt19937 random(28);
    for (const int count : {0, 1, 7, 600, 3000}) {
        path_set paths;
        std::set<std::string> reference;
        const auto random_path = [&] {
            std::string path;
            for (int depth = 1 + static_cast<int>(random() % 4); depth > 0; --depth)
                path += "/" + std::string(1 + random() % 2, static_cast<char>('a' + random() % 5));
            return path;
        };
        for (int i = 0; i < count; ++i) {
            const std::string path = random_path();
            ASSERT_EQ(paths.insert(path), reference.insert(path).second) << path;
        }
        ASSERT_EQ(paths.size(), reference.size());
        for (int i = 0; i < 200; ++i) {
            const std::string path = random_path();
            ASSERT_EQ(paths.count(path), reference.count(path)) << path;
            const auto below = reference.lower_bound(path);
            ASSERT_EQ(paths.has_prefix(path), below != reference.end() && below->starts_with(path)) << path;
        }
        ASSERT_EQ(std::vector<std::string>(paths.begin(), paths.end()),
                  std::vector<std::string>(reference.begin(), reference.end()));
        path_set copy = paths;
        ASSERT_TRUE(copy == paths);
        copy.insert("/z");
        ASSERT_FALSE(copy == paths);
        paths.clear();
        ASSERT_TRUE(paths.empty() && paths.count("/a") == 0);
    }
}

}  // namespace
