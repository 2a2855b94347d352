#include "store/package.h"

#include <gtest/gtest.h>

TEST(PackageTest, NewRecordFromNameAloneHasEverythingElseEmpty) {
    auto record = new_package_record("system");
    EXPECT_EQ(record->name, "system");
    EXPECT_EQ(record->version, 0u);
    EXPECT_EQ(record->build_time, 0u);
    EXPECT_EQ(record->header_flags, 0u);
    EXPECT_TRUE(record->architecture.empty());
    EXPECT_FALSE(record->image);
    EXPECT_FALSE(record->bundle);
    EXPECT_TRUE(record->dependencies.empty() && record->provisions.empty() && record->conflicts.empty());
    EXPECT_TRUE(record->files.empty());
    EXPECT_EQ(record->bundle_reference, requirement{});
    EXPECT_FALSE(record->disabled);
    EXPECT_FALSE(record->user_set);
    EXPECT_EQ(record->scheduled_action, action_none);
    EXPECT_FALSE(record->is_placeholder());

    auto download = new_download_record();
    EXPECT_TRUE(download->name.empty());
    EXPECT_TRUE(download->path.empty());
}

TEST(PackageTest, PlaceholderNeedsBothValues) {
    auto record = new_package_record("p");
    record->version = placeholder_value;
    EXPECT_FALSE(record->is_placeholder());
    record->build_time = placeholder_value;
    EXPECT_TRUE(record->is_placeholder());
    record->version = 1;
    EXPECT_FALSE(record->is_placeholder());
}

TEST(PackageTest, ActionWordsAndDeletionThroughTheBase) {
    EXPECT_STREQ(action_word(action_none), "");
    EXPECT_STREQ(action_word(action_uninstall), "uninstall");
    EXPECT_STREQ(action_word(action_enable), "enable");
    EXPECT_STREQ(action_word(action_disable), "disable");
    EXPECT_STREQ(action_word(4), "");

    // Records, download records and bundle members are all owned and deleted
    // as descriptions; the sanitizer build catches a destructor that is not
    // virtual.
    std::vector<std::unique_ptr<package_description>> owned;
    owned.push_back(new_package_record("a"));
    auto download = new_download_record();
    download->path = "/rw/pckg/.download/b.qpk";
    download->sub_packages.push_back(new_package_record("member"));
    owned.push_back(std::move(download));
    owned.clear();
}
