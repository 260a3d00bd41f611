#include <gtest/gtest.h>
#include <imgnorm/archive.h>

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <limits>
#include <memory>
#include <thread>

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

template <class T>
Bytes stored(T v) {
    vkArchive out;
    out || v;
    return out.bytes();
}

template <class T>
T roundTrip(T v) {
    vkArchive in(stored(v));
    T r{};
    in || r;
    EXPECT_EQ(in.remaining(), 0u);
    return r;
}

}  // namespace

TEST(Archive, PrimitivesRoundTripInLittleEndianFixedWidths) {
    EXPECT_TRUE(roundTrip(true) && !roundTrip(false));
    EXPECT_EQ(roundTrip<unsigned char>(200), 200);
    EXPECT_EQ(roundTrip<std::uint32_t>(4000000000u), 4000000000u);
    EXPECT_EQ(roundTrip(std::numeric_limits<std::int64_t>::min()),
              std::numeric_limits<std::int64_t>::min());
    EXPECT_EQ(roundTrip(-0.1), -0.1);
    EXPECT_TRUE(std::isnan(roundTrip(std::nan(""))));
    EXPECT_EQ(roundTrip(std::string("h\0llo", 5)), std::string("h\0llo", 5));
    EXPECT_EQ(stored<std::int32_t>(-2), (Bytes{0xFE, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(stored<std::uint32_t>(0x01020304), (Bytes{4, 3, 2, 1}));
    EXPECT_EQ(stored(1.0), (Bytes{0, 0, 0, 0, 0, 0, 0xF0, 0x3F}));
}

TEST(Archive, CorruptInputOrTheWrongDirectionThrowsBeforeTouchingTheTarget) {
    // A string longer than the archive is refused before allocating.
    vkArchive truncated(Bytes{1, 2, 3}), badBool(Bytes{2}), out, in(Bytes{0, 0, 0, 0}),
        longString(Bytes{0xFF, 0xFF, 0xFF, 0xFF, 'a'});
    std::uint32_t v = 42;
    std::string s = "keep";
    bool b = false;
    EXPECT_THROW(truncated || v, vkArchive::Corrupt);
    EXPECT_THROW(longString || s, vkArchive::Corrupt);
    EXPECT_THROW(badBool || b, vkArchive::Corrupt);
    EXPECT_THROW(out >> v, vkArchive::Corrupt);  // a storing archive cannot load
    EXPECT_THROW(in << std::uint32_t{5}, vkArchive::Corrupt);
    EXPECT_TRUE(v == 42u && s == "keep" && !b);
}

// Round trips through files are checked with the tool's persistence; here,
// saves that fail and saves that race.
TEST(Archive, AFailedSaveKeepsTheOldFileAndLeavesNoTemporaryFile) {
    const fs::path dir = fs::path(::testing::TempDir()) / ("imgnorm-archive-" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir / "folder");
    const std::string target = (dir / "t.bin").string();
    vkArchive small, large;
    small.writeBytes("old", 3);
    large.writeBytes(std::string(70000, 'x').data(), 70000);
    small.saveToFile(target);
    EXPECT_THROW(vkArchive::loadFromFile((dir / "none.bin").string()), vkArchive::FileError);
    EXPECT_THROW(small.saveToFile((dir / "none" / "x.bin").string()), vkArchive::FileError);
    try {
        small.saveToFile((dir / "folder").string());
        ADD_FAILURE() << "saved over a folder";
    } catch (const vkArchive::FileError& e) {
        EXPECT_NE(std::string(e.what()).find((dir / "folder").string()), std::string::npos) << e.what();
    }
    // A file size limit (as a full disk) stops the write part-way.
    struct rlimit old {};
    ::getrlimit(RLIMIT_FSIZE, &old);
    const auto oldSignal = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit = old;
    limit.rlim_cur = 4096;
    ::setrlimit(RLIMIT_FSIZE, &limit);
    EXPECT_THROW(large.saveToFile(target), vkArchive::FileError);
    ::setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldSignal);
    EXPECT_EQ(vkArchive::loadFromFile(target).bytes(), small.bytes());

    // Threads saving to one path end with one of the whole files.
    std::vector<std::thread> savers;
    for (int t = 0; t < 4; ++t)
        savers.emplace_back([&, t] {
            for (int i = 0; i < 20; ++i) (t % 2 == 0 ? small : large).saveToFile(target);
        });
    for (auto& s : savers) s.join();
    const Bytes last = vkArchive::loadFromFile(target).bytes();
    EXPECT_TRUE(last == small.bytes() || last == large.bytes());
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"folder", "t.bin"}));
    fs::remove_all(dir);
}

TEST(Archive, PolymorphicObjectsRoundTripThroughTheRegistryAndNullStaysNull) {
    std::unique_ptr<vkPersistent> original(new vkPel::BadWindow("window left the image"));
    vkPersistent *raw = original.get(), *none = nullptr, *loaded = nullptr, *null = raw,
                 *unknown = nullptr;
    vkArchive out;
    out || raw || none;
    vkArchive in(out.bytes()), unknownIn(stored(std::string("NoSuchClass")));
    in || loaded || null;
    std::unique_ptr<vkPersistent> owned(loaded);
    auto* e = dynamic_cast<vkPel::BadWindow*>(loaded);
    ASSERT_NE(e, nullptr);
    EXPECT_STREQ(e->what(), "window left the image");
    EXPECT_TRUE(e->errorNumber() == vkPel::BadWindow().errorNumber() && null == nullptr);
    EXPECT_THROW(unknownIn || unknown, vkArchive::UnknownClass);
    EXPECT_EQ(unknown, nullptr);
}
