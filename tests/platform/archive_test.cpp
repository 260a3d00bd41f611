#include <gtest/gtest.h>
#include <imgnorm/archive.h>
#include <imgnorm/attention.h>

#include <cmath>
#include <cstdio>
#include <limits>
#include <memory>

TEST(Archive, PrimitivesRoundTrip) {
    vkArchive out;
    bool b = true;
    unsigned char c = 200;
    std::int32_t i = -123456789;
    std::uint32_t u = 4000000000u;
    std::int64_t l = std::numeric_limits<std::int64_t>::min();
    double d = -0.1;
    double nan = std::nan("");
    std::string s("h\0llo", 5);
    out || b || c || i || u || l || d || nan || s;

    vkArchive in(out.bytes());
    bool b2 = false;
    unsigned char c2 = 0;
    std::int32_t i2 = 0;
    std::uint32_t u2 = 0;
    std::int64_t l2 = 0;
    double d2 = 0, nan2 = 0;
    std::string s2;
    in || b2 || c2 || i2 || u2 || l2 || d2 || nan2 || s2;
    EXPECT_EQ(b2, b);
    EXPECT_EQ(c2, c);
    EXPECT_EQ(i2, i);
    EXPECT_EQ(u2, u);
    EXPECT_EQ(l2, l);
    EXPECT_EQ(d2, d);
    EXPECT_TRUE(std::isnan(nan2));
    EXPECT_EQ(s2, s);
    EXPECT_EQ(in.remaining(), 0u);
}

TEST(Archive, EncodingIsLittleEndianWithFixedWidths) {
    vkArchive out;
    std::int32_t i = -2;
    std::uint32_t u = 0x01020304;
    double one = 1.0;
    out || i || u || one;
    const std::vector<std::uint8_t> expect{0xFE, 0xFF, 0xFF, 0xFF, 0x04, 0x03, 0x02, 0x01,
                                           0, 0, 0, 0, 0, 0, 0xF0, 0x3F};
    EXPECT_EQ(out.bytes(), expect);
}

TEST(Archive, TruncatedInputThrowsCorruptAndKeepsTheTarget) {
    vkArchive in(std::vector<std::uint8_t>{1, 2, 3});
    std::uint32_t v = 42;
    EXPECT_THROW(in || v, vkArchive::Corrupt);
    EXPECT_EQ(v, 42u);
}

TEST(Archive, StringLongerThanTheArchiveIsRejectedBeforeAllocating) {
    vkArchive in(std::vector<std::uint8_t>{0xFF, 0xFF, 0xFF, 0xFF, 'a'});
    std::string s = "keep";
    EXPECT_THROW(in || s, vkArchive::Corrupt);
    EXPECT_EQ(s, "keep");
}

TEST(Archive, BoolOtherThanZeroOrOneIsCorrupt) {
    vkArchive in(std::vector<std::uint8_t>{2});
    bool b = false;
    EXPECT_THROW(in || b, vkArchive::Corrupt);
}

TEST(Archive, DirectionOnlyOperatorsRefuseTheOtherDirection) {
    vkArchive out;
    std::uint32_t v = 0;
    EXPECT_THROW(out >> v, vkArchive::Corrupt);
    out << std::uint32_t{5};
    vkArchive in(out.bytes());
    EXPECT_THROW(in << std::uint32_t{5}, vkArchive::Corrupt);
    in >> v;
    EXPECT_EQ(v, 5u);
}

TEST(Archive, FileRoundTripAndMissingFile) {
    const std::string path = ::testing::TempDir() + "imgnorm_archive_test.bin";
    vkArchive out;
    double d = 3.25;
    out || d;
    out.saveToFile(path);
    vkArchive in = vkArchive::loadFromFile(path);
    double d2 = 0;
    in || d2;
    EXPECT_EQ(d2, 3.25);
    std::remove(path.c_str());
    EXPECT_THROW(vkArchive::loadFromFile(path), vkArchive::FileError);
    EXPECT_THROW(out.saveToFile("/nonexistent-dir/x.bin"), vkArchive::FileError);
}

TEST(Archive, PolymorphicObjectsRoundTripThroughTheRegistry) {
    vkPersistent* original = new vkPel::BadWindow("window left the image");
    vkArchive out;
    out || original;
    delete original;

    vkArchive in(out.bytes());
    vkPersistent* loaded = nullptr;
    in || loaded;
    std::unique_ptr<vkPersistent> owned(loaded);
    auto* e = dynamic_cast<vkPel::BadWindow*>(loaded);
    ASSERT_NE(e, nullptr);
    EXPECT_STREQ(e->what(), "window left the image");
    EXPECT_EQ(e->errorNumber(), vkPel::BadWindow().errorNumber());
}

TEST(Archive, UnknownClassNameAndNullPointer) {
    vkArchive out;
    std::string name = "NoSuchClass";
    out || name;
    vkArchive in(out.bytes());
    vkPersistent* p = nullptr;
    EXPECT_THROW(in || p, vkArchive::UnknownClass);
    EXPECT_EQ(p, nullptr);

    vkArchive out2;
    vkPersistent* none = nullptr;
    out2 || none;
    vkArchive in2(out2.bytes());
    vkPersistent* q = reinterpret_cast<vkPersistent*>(&out2);
    in2 || q;
    EXPECT_EQ(q, nullptr);
}

TEST(Archive, ObjectVisitedTwiceInAPassIsWrittenOnce) {
    vkAttention::Cancelled e("once");
    vkArchive out;
    e.serialize(out);
    const auto size = out.bytes().size();
    e.serialize(out);
    EXPECT_EQ(out.bytes().size(), size);
    out.newPass();
    e.serialize(out);
    EXPECT_EQ(out.bytes().size(), 2 * size);
}
