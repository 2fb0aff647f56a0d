// Profiles: install through the update service, conversion back to gzip by
// the XML service, and the refusals of broken uploads.
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>

#include <filesystem>
#include <string>

#include "helpers.h"
#include "tqdevice/tqupd.h"
#include "tqdevice/tqxml.h"

namespace
{

using namespace devtest;

constexpr const char *temp = "/ramdisk/lighty.tmp";
constexpr const char *error_file = "/tmp/sftp/nv/cfg/error";

struct Names {
    char file_name[80] = {};
    char temp_name[80] = {};
};

// Hands compressed as the upload of the client path /nv/cfg/<name>.
int install(const std::string &compressed, const std::string &name = "site.xml")
{
    Names n;
    snprintf(n.file_name, sizeof n.file_name, "/nv/cfg/%s", name.c_str());
    strcpy(n.temp_name, temp);
    write_file(temp, compressed);
    return tqupd_configDelayed(n.file_name, 2);
}

TEST(DeviceProfile, RoundTripGivesBackTheSameBytes)
{
    std::filesystem::create_directories("/tmp/sftp/nv/cfg");
    std::string xml = sample_profile(300 * 1024);
    ASSERT_EQ(install(gzip(xml)), 0);
    EXPECT_EQ(read_file("/flash/cfg/site.xml"), xml);
    EXPECT_FALSE(exists(temp));
    EXPECT_EQ(read_file("/tmp/sftp/nv/cfg/ok"), "site.xml: installed, " +
                                                    std::to_string(xml.size()) +
                                                    " bytes\n");

    Received r;
    ASSERT_EQ(convert("/flash/cfg/site.xml", r), 0);
    EXPECT_EQ(gunzip(r.data), xml);
    ASSERT_GT(r.pieces.size(), 1u);
    uintptr_t offset = 0;
    for (size_t i = 0; i < r.pieces.size(); ++i) {
        EXPECT_LE(r.pieces[i], 4096u);
        EXPECT_EQ(r.offsets[i], offset);
        offset += r.pieces[i];
    }
    // Same profile, same bytes: the size a client is shown is the size it
    // downloads.
    Received again;
    ASSERT_EQ(convert("/flash/cfg/site.xml", again), 0);
    EXPECT_EQ(again.data, r.data);
}

TEST(DeviceProfile, SeveralGzipMembersMakeOneProfile)
{
    ASSERT_EQ(install(gzip("<a>one ") + gzip("two</a>")), 0);
    EXPECT_EQ(read_file("/flash/cfg/site.xml"), "<a>one two</a>");
}

TEST(DeviceProfile, InstalledEvenWithoutTheAreaFolder)
{
    ASSERT_EQ(install(gzip("<a/>")), 0);
    EXPECT_EQ(read_file("/flash/cfg/site.xml"), "<a/>");
    EXPECT_FALSE(exists("/tmp/sftp"));
}

// A refused upload leaves the stored profile of that name as it was, and
// no unfinished copy behind.
void expect_refused(const std::string &compressed, const std::string &reason,
                    const std::string &name = "site.xml")
{
    std::filesystem::create_directories("/tmp/sftp/nv/cfg");
    write_file("/flash/cfg/site.xml", "<old/>");
    EXPECT_EQ(install(compressed, name), 1);
    EXPECT_EQ(read_file("/flash/cfg/site.xml"), "<old/>");
    EXPECT_FALSE(exists("/flash/cfg/.site.xml.part"));
    std::string error = read_file(error_file);
    EXPECT_NE(error.find(reason), std::string::npos) << error;
}

struct Broken {
    const char *what;
    std::string xml;
};

void PrintTo(const Broken &b, std::ostream *os)
{
    *os << b.what;
}

class DeviceMalformedXml : public testing::TestWithParam<Broken>
{
};

TEST_P(DeviceMalformedXml, IsRefusedByInstallAndConversion)
{
    expect_refused(gzip(GetParam().xml), "not well-formed XML: line ");
    write_file("/flash/cfg/bad.xml", GetParam().xml);
    Received r;
    EXPECT_NE(convert("/flash/cfg/bad.xml", r), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Documents, DeviceMalformedXml,
    testing::Values(
        Broken{"NoElement", "  \n"}, Broken{"Unclosed", "<a><b></b>"},
        Broken{"Mismatched", "<a></b>"}, Broken{"TwoRoots", "<a/><b/>"},
        Broken{"DuplicateAttribute", "<a x='1' x='2'/>"},
        Broken{"UndefinedEntity", "<a>&nope;</a>"},
        Broken{"BadUtf8", "<a>\xC3\x28</a>"},
        Broken{"JunkInLongDocument", sample_profile(100 * 1024) + "<late/>"}),
    [](const auto &info) { return std::string(info.param.what); });

struct BadUpload {
    const char *what;
    std::string data;
    const char *reason;
    std::string name = "site.xml";
};

void PrintTo(const BadUpload &b, std::ostream *os)
{
    *os << b.what;
}

class DeviceBrokenUpload : public testing::TestWithParam<BadUpload>
{
};

TEST_P(DeviceBrokenUpload, IsRefused)
{
    expect_refused(GetParam().data, GetParam().reason, GetParam().name);
}

std::string flipped_crc()
{
    std::string gz = gzip("<a>text</a>");
    gz[gz.size() - 6] ^= 1;
    return gz;
}

const std::string big = gzip(sample_profile(200 * 1024));

INSTANTIATE_TEST_SUITE_P(
    Uploads, DeviceBrokenUpload,
    testing::Values(
        BadUpload{"Empty", "", "the upload is empty"},
        BadUpload{"PlainXml", "<a/>", "not valid gzip data"},
        BadUpload{"TruncatedTrailer", big.substr(0, big.size() - 4),
                  "the compressed data is truncated"},
        BadUpload{"TruncatedInTheMiddle", big.substr(0, big.size() / 2),
                  "the compressed data is truncated"},
        BadUpload{"HeaderOnly", big.substr(0, 10),
                  "the compressed data is truncated"},
        BadUpload{"WrongChecksum", flipped_crc(), "not valid gzip data"},
        BadUpload{"TrailingJunk", gzip("<a/>") + "junk", "not valid gzip data"},
        BadUpload{"NameWithBlank", gzip("<a/>"), "not a profile name",
                  "My Site.xml"},
        BadUpload{"NameTooLong", gzip("<a/>"), "not a profile name",
                  std::string(29, 'a') + ".xml"}),
    [](const auto &info) { return std::string(info.param.what); });

TEST(DeviceConversion, SinkAnsweringMinusOneStopsIt)
{
    write_file("/flash/cfg/site.xml", sample_profile(100 * 1024));
    Received r;
    r.stop_at = 1;
    EXPECT_NE(convert("/flash/cfg/site.xml", r), 0);
    EXPECT_EQ(r.calls, 2);
}

int short_sink(uintptr_t, void *, const void *, uint32_t length)
{
    return static_cast<int>(length) - 1;
}

TEST(DeviceConversion, SinkTakingLessThanAPieceStopsIt)
{
    write_file("/flash/cfg/site.xml", "<a/>");
    EXPECT_NE(tqapi_xml_convert_compress_XMLData_by_Callback(
                  24, "/flash/cfg/site.xml", short_sink, nullptr, 2,
                  "CompressedData"),
              0);
}

TEST(DeviceConversion, UnreadableProfilesAndUnknownFormsFail)
{
    Received r;
    EXPECT_NE(convert("/flash/cfg/none.xml", r), 0);
    EXPECT_NE(convert("/flash/cfg", r), 0);
    write_file("/flash/cfg/site.xml", "<a/>");
    EXPECT_NE(
        tqapi_xml_convert_compress_XMLData_by_Callback(
            24, "/flash/cfg/site.xml", record_sink, &r, 1, "CompressedData"),
        0);
    EXPECT_NE(tqapi_xml_convert_compress_XMLData_by_Callback(
                  24, "/flash/cfg/site.xml", record_sink, &r, 2, "Other"),
              0);
    EXPECT_EQ(r.calls, 0);
}

} // namespace
