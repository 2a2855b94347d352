#include "manifest/manifest.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "manifest/file_helpers.h"
#include "support/child_check.h"
#include "support/host_files.h"
#include "support/temp_root.h"

namespace {

const char* kind_name(entry_kind kind) {
    switch (kind) {
        case entry_kind::move: return "move";
        case entry_kind::staged_file: return "staged";
        case entry_kind::symlink: return "link";
        case entry_kind::remove: return "remove";
    }
    return "?";
}

// The manifest as one line per entry, "destination kind source", map order.
std::vector<std::string> describe(const file_manifest& manifest) {
    std::vector<std::string> lines;
    for (const auto& [destination, entry] : manifest.entries) {
        EXPECT_EQ(destination, entry.destination);
        lines.push_back(destination + " " + kind_name(entry.kind) + (entry.source.empty() ? "" : " " + entry.source));
    }
    return lines;
}

void put(file_manifest& manifest, const std::string& destination, entry_kind kind, const std::string& source) {
    manifest.entries[destination] = manifest_entry{destination, kind, source};
}

TEST(ManifestTest, SaveWritesOneLinePerEntryInMapOrderAndLoadReadsThemBack) {
    temp_root root;
    file_manifest manifest;
    put(manifest, "/c", entry_kind::move, "/tmp1");
    put(manifest, "/b", entry_kind::symlink, "/x");
    put(manifest, "/a", entry_kind::remove, "");
    std::string saved = root.host("/ram/MANIFEST");
    ASSERT_TRUE(save_manifest(manifest, saved));
    EXPECT_EQ(read_host_file(saved), "U /a\nL /b /x\nM /c /tmp1\n");

    file_manifest loaded;
    load_manifest(loaded, saved);
    EXPECT_EQ(describe(loaded), (std::vector<std::string>{"/a remove", "/b link /x", "/c move /tmp1"}));

    // A staged file is saved as a move and reads back as one.
    file_manifest staged;
    put(staged, "/flash/f", entry_kind::staged_file, "/flash/tmpAbC123");
    ASSERT_TRUE(save_manifest(staged, saved));
    EXPECT_EQ(read_host_file(saved), "M /flash/f /flash/tmpAbC123\n");
    file_manifest reloaded;
    load_manifest(reloaded, saved);
    EXPECT_EQ(describe(reloaded), std::vector<std::string>{"/flash/f move /flash/tmpAbC123"});

    // Saving truncates what was there.
    ASSERT_TRUE(save_manifest(file_manifest{}, saved));
    EXPECT_EQ(read_host_file(saved), "");
}

TEST(ManifestTest, SaveRefusesPathsThatWouldReadBackAsOtherOperations) {
    temp_root root;
    std::string saved = root.host("/ram/MANIFEST");
    file_manifest good;
    put(good, "/flash/a", entry_kind::move, "/ram/tmp with blanks");
    ASSERT_TRUE(save_manifest(good, saved));
    const std::string kept = read_host_file(saved);
    file_manifest loaded;
    load_manifest(loaded, saved);
    EXPECT_EQ(describe(loaded), (std::vector<std::string>{"/flash/a move /ram/tmp with blanks"}));

    // A line end in a source would end its line and start a removal of
    // /flash; a blank in a destination would move its end into the source.
    const std::vector<std::pair<std::string, std::string>> refused = {
        {"/flash/p", "/ram/tmpAAAAAA\nU /flash"},
        {"/flash/p /q\nU /flash", "/ram/tmpAAAAAA"},
        {"/flash/a b", "/t"},
    };
    for (const auto& [destination, source] : refused) {
        SCOPED_TRACE(destination);
        file_manifest bad = good;
        put(bad, destination, entry_kind::symlink, source);
        EXPECT_FALSE(save_manifest(bad, saved));
        // The manifest saved before stays as it was, and nothing is left beside it.
        EXPECT_EQ(read_host_file(saved), kept);
        EXPECT_EQ(root.list_dir("/ram"), std::vector<std::string>{"MANIFEST"});
    }
}

TEST(ManifestTest, LoadingStopsAtTheFirstMalformedLine) {
    struct load_case {
        const char* text;
        std::vector<std::string> entries;
    };
    const std::vector<load_case> cases = {
        {"U /a\nX /q /r\nL /b /x\n", {"/a remove", "/b link /x"}},  // unknown first field: skipped
        {"U /a\nM /c\nU /d\n", {"/a remove"}},                      // M needs three fields
        {"U /a\nL /b\nU /d\n", {"/a remove"}},                      // so does L
        {"U /a\n\nU /d\n", {"/a remove"}},                          // empty line
        {"U /a\nU\nU /d\n", {"/a remove"}},                         // one field
        {"U /a\n   \nU /d\n", {"/a remove"}},                       // blanks only: no field
        {"X\nU /a\n", {}},                                          // one field, even of an unknown kind
        {"M  /c   /t1\nU /a \n", {"/a remove", "/c move /t1"}},     // runs of blanks separate fields
        {"U /a\nU /flash/var/pdb/ne", {"/a remove"}},               // a cut-off last line is not acted on
        {"", {}},
    };
    temp_root root;
    std::string path = root.host("/ram/MANIFEST");
    for (const load_case& c : cases) {
        write_host_file(path, c.text);
        file_manifest manifest;
        load_manifest(manifest, path);
        EXPECT_EQ(describe(manifest), c.entries) << "manifest text: " << c.text;
    }

    file_manifest missing;
    load_manifest(missing, root.host("/ram/none"));
    EXPECT_TRUE(is_empty(missing));
}

TEST(ManifestTest, ApplyRemovesAndLinksBeforeAnyMove) {
    temp_root root;
    // A package directory removed and refilled by the same manifest. The
    // move's path sorts before the removal's, so applying the entries in map
    // order alone would let the removal delete the file just moved in.
    root.write_file("/flash/pkg/old", "old");
    root.write_file("/ram/new", "new");
    // A link made and then moved by the same manifest: the link's path sorts
    // after the move's.
    root.write_file("/flash/target", "t");
    root.write_file("/flash/replaced", "file that the link replaces");

    file_manifest manifest;
    stage_remove(manifest, root.host("/flash/pkg"));
    stage_move(manifest, root.host("/ram/new"), root.host("/flash/./pkg/new"));
    stage_symlink(manifest, root.host("/flash/target"), root.host("/flash/z/link"));
    stage_move(manifest, root.host("/flash/z/link"), root.host("/flash/a/moved-link"));
    stage_symlink(manifest, "target", root.host("/flash/replaced"));
    ASSERT_EQ(manifest.entries.size(), 5u);

    run_result r = run_in_child("", [&] {
        apply_manifest(manifest, false);
        return 0;
    });
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(root.list_dir("/flash/pkg"), std::vector<std::string>{"new"});
    EXPECT_EQ(root.read_file("/flash/pkg/new"), "new");
    EXPECT_FALSE(root.exists("/ram/new"));
    EXPECT_TRUE(is_link_to(root.host("/flash/a/moved-link"), root.host("/flash/target")));
    EXPECT_FALSE(root.exists("/flash/z/link"));
    EXPECT_TRUE(is_link_to(root.host("/flash/replaced"), "target"));
}

TEST(ManifestTest, ApplyReportsFailedRenamesAndLinksAndGoesOn) {
    temp_root root;
    root.write_file("/ram/b", "b");
    root.make_dir("/flash/dir");
    file_manifest manifest;
    put(manifest, root.host("/flash/a"), entry_kind::move, root.host("/ram/missing"));
    put(manifest, root.host("/flash/b"), entry_kind::move, root.host("/ram/b"));
    // A link cannot replace a directory.
    put(manifest, root.host("/flash/dir"), entry_kind::symlink, "x");
    put(manifest, root.host("/flash/gone"), entry_kind::remove, "");
    run_result r = run_in_child("", [&] {
        apply_manifest(manifest, false);
        return 0;
    });
    EXPECT_EQ(r.err, "symlink: File exists\nrename: No such file or directory\n");
    EXPECT_EQ(root.read_file("/flash/b"), "b");
    EXPECT_FALSE(root.exists("/flash/a"));
}

TEST(ManifestTest, RemovingADirectoryTakesOnlyItsPlainVisibleFiles) {
    temp_root root;
    for (const char* file : {"/flash/d1/a", "/flash/d1/b", "/flash/d1/.hidden", "/flash/d1/sub/c", "/flash/d2/a",
                             "/flash/d2/b", "/flash/file"})
        root.write_file(file, "x");
    file_manifest manifest;
    for (const char* path : {"/flash/d1", "/flash/d2", "/flash/file"}) stage_remove(manifest, root.host(path));
    put(manifest, root.host("/flash/absent"), entry_kind::remove, "");
    apply_manifest(manifest, false);
    EXPECT_EQ(root.list_dir("/flash/d1"), (std::vector<std::string>{".hidden", "sub"}));
    EXPECT_EQ(root.list_dir("/flash/d1/sub"), std::vector<std::string>{"c"});
    EXPECT_FALSE(root.exists("/flash/d2"));
    EXPECT_FALSE(root.exists("/flash/file"));
    EXPECT_EQ(manifest.entries.size(), 4u) << "applying does not erase entries";
}

TEST(ManifestTest, ReplacingAStagedEntryDeletesItsTemporaryFile) {
    temp_root root;
    std::string destination = root.host("/flash/var/pdb/net/files");
    file_manifest manifest;
    std::ofstream out;
    stage_new_file(out, manifest, destination, 10, 0);
    ASSERT_TRUE(out.is_open());
    out << "first";
    out.close();
    std::string first = manifest.entries.at(destination).source;
    EXPECT_EQ(parent_dir(first), root.host("/flash/var/pdb"));

    stage_new_file(out, manifest, destination, 10, 0);
    out << "second";
    out.close();
    std::string second = manifest.entries.at(destination).source;
    EXPECT_NE(first, second);
    EXPECT_FALSE(root.exists(first.substr(root.path().size())));
    EXPECT_EQ(read_host_file(second), "second");

    // Any other operation replaces it the same way.
    stage_symlink(manifest, "elsewhere", destination);
    EXPECT_FALSE(root.exists(second.substr(root.path().size())));
    EXPECT_EQ(describe(manifest), std::vector<std::string>{destination + " link elsewhere"});

    // Replacing a move leaves its source alone: it is not the manifest's.
    root.write_file("/rw/pckg/.download/a.qpk", "package");
    stage_move(manifest, root.host("/rw/pckg/.download/a.qpk"), destination);
    stage_symlink(manifest, "again", destination);
    EXPECT_TRUE(root.exists("/rw/pckg/.download/a.qpk"));
}

TEST(ManifestTest, StageRemoveOfAMissingPathDropsTheEntryAndItsTemporaryFile) {
    temp_root root;
    file_manifest manifest;
    std::ofstream out;
    std::string never_existed = root.host("/flash/new-file");
    stage_new_file(out, manifest, never_existed, 4, 0);
    out.close();
    std::string temporary = manifest.entries.at(never_existed).source;
    ASSERT_TRUE(root.exists(temporary.substr(root.path().size())));
    stage_remove(manifest, never_existed);
    EXPECT_TRUE(is_empty(manifest));
    // Leaving the temporary file would leak it on flash for good.
    EXPECT_FALSE(root.exists(temporary.substr(root.path().size())));

    // A move's source is not the manifest's: dropping the entry keeps it.
    root.write_file("/ram/source", "s");
    stage_move(manifest, root.host("/ram/source"), never_existed);
    stage_remove(manifest, never_existed);
    EXPECT_TRUE(is_empty(manifest));
    EXPECT_TRUE(root.exists("/ram/source"));

    // Nothing there and no entry: nothing happens. Something there: a removal.
    stage_remove(manifest, never_existed);
    EXPECT_TRUE(is_empty(manifest));
    stage_remove(manifest, root.host("/ram/source"));
    EXPECT_EQ(describe(manifest), std::vector<std::string>{root.host("/ram/source") + " remove"});
}

TEST(ManifestTest, CancelDeletesStagedFilesOnlyAndForgetsEverything) {
    temp_root root;
    root.write_file("/rw/pckg/.download/a.qpk", "package");
    root.write_file("/flash/existing", "e");
    file_manifest manifest;
    std::ofstream out;
    stage_new_file(out, manifest, root.host("/flash/new"), 3, 0644);
    out.close();
    std::string temporary = manifest.entries.at(root.host("/flash/new")).source;
    stage_move(manifest, root.host("/rw/pckg/.download/a.qpk"), root.host("/flash/a.qpk"));
    stage_remove(manifest, root.host("/flash/existing"));
    stage_symlink(manifest, "x", root.host("/flash/link"));
    cancel_manifest(manifest);
    EXPECT_TRUE(is_empty(manifest));
    EXPECT_FALSE(root.exists(temporary.substr(root.path().size())));
    EXPECT_TRUE(root.exists("/rw/pckg/.download/a.qpk"));
    EXPECT_TRUE(root.exists("/flash/existing"));
    EXPECT_FALSE(root.exists("/flash/link"));
    EXPECT_FALSE(root.exists("/flash/new"));
}

TEST(ManifestTest, ClaimPath) {
    temp_root root;
    root.make_dir("/flash/var/pdb/dir");
    root.write_file("/flash/var/pdb/file", "f");
    std::string dir = root.host("/flash/var/pdb/dir");
    std::string file = root.host("/flash/var/pdb/file");
    std::string absent = root.host("/flash/var/pdb/absent");

    file_manifest manifest;
    EXPECT_TRUE(claim_path(manifest, absent));
    EXPECT_TRUE(claim_path(manifest, dir));
    EXPECT_FALSE(claim_path(manifest, file));

    // A pending removal is dropped: the path is reused instead.
    stage_remove(manifest, dir);
    stage_remove(manifest, file);
    EXPECT_TRUE(claim_path(manifest, dir));
    EXPECT_FALSE(claim_path(manifest, file));  // still a plain file there
    EXPECT_TRUE(is_empty(manifest));

    // Any other pending operation makes the path taken.
    stage_symlink(manifest, "x", absent);
    EXPECT_FALSE(claim_path(manifest, absent));
    stage_move(manifest, file, dir);
    EXPECT_FALSE(claim_path(manifest, dir));
    EXPECT_EQ(manifest.entries.size(), 2u);
}

// Placement runs in a child changed into the temporary root, where /ram,
// /tmp and /flash are the root's own.
TEST(ManifestTest, StageNewFilePlacesTheTemporaryFileByRoom) {
    temp_root root;
    const std::string fits(110, 'a');   // "/flash/" + 110 + "/tmpXXXXXX" + NUL = 128 bytes
    const std::string too_long(111, 'b');
    root.make_dir("/flash/" + fits);
    root.make_dir("/flash/" + too_long);
    run_result r = run_in_child(root.path(), [&] {
        child_checks checks;
        file_manifest manifest;
        std::ofstream out;
        auto staged = [&](const std::string& destination, std::uint32_t size, mode_t mode) {
            stage_new_file(out, manifest, destination, size, mode);
            CHILD_CHECK(checks, out.is_open());
            out << "content";
            out.close();
            const std::string& temporary = manifest.entries.at(destination).source;
            CHILD_CHECK(checks, manifest.entries.at(destination).kind == entry_kind::staged_file);
            CHILD_CHECK_EQ(checks, temporary.find("XXXXXX"), std::string::npos);
            CHILD_CHECK_EQ(checks, read_host_file(temporary), "content");
            return temporary;
        };
        // The change marker fits on /flash itself.
        std::string marker = staged("/flash/PCKGS_CHANGED", 1, 0);
        CHILD_CHECK_EQ(checks, parent_dir(marker), "/flash");
        CHILD_CHECK_EQ(checks, marker.substr(0, 10), "/flash/tmp");
        CHILD_CHECK_EQ(checks, mode_of(marker), 0600u);
        // A directory that does not exist yet: its nearest existing ancestor.
        std::string deep = staged("/flash/var/pdb/net/sub/files", 100, 0640);
        CHILD_CHECK_EQ(checks, parent_dir(deep), "/flash/var/pdb");
        CHILD_CHECK_EQ(checks, mode_of(deep), 0640u);
        // Unknown size: /ram.
        CHILD_CHECK_EQ(checks, parent_dir(staged("/flash/unknown", 0, 0)), "/ram");
        // The root directory itself does not double its slash.
        std::string top = staged("/top", 1, 0);
        CHILD_CHECK_EQ(checks, top.substr(0, 4), "/tmp");
        CHILD_CHECK_EQ(checks, top.size(), 10u);
        // The temporary path must fit in 128 bytes.
        CHILD_CHECK_EQ(checks, parent_dir(staged("/flash/" + fits + "/x", 1, 0)), "/flash/" + fits);
        CHILD_CHECK_EQ(checks, parent_dir(staged("/flash/" + too_long + "/x", 1, 0)), "/ram");
        CHILD_CHECK_EQ(checks, temporary_directory_for("/flash/" + too_long + "/x", 1), "/ram");
        // Without /ram, files of unknown size go to /tmp.
        cancel_manifest(manifest);
        CHILD_CHECK_EQ(checks, ::rmdir("/ram"), 0);
        CHILD_CHECK_EQ(checks, parent_dir(staged("/flash/unknown", 0, 0)), "/tmp");
        CHILD_CHECK_EQ(checks, temporary_directory_for("/flash/known", 5), "/flash");
        return checks.status();
    });
    EXPECT_EQ(r.status, 0) << r.err;
}

}  // namespace
