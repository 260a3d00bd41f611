// The imgnorm executable, run as a user runs it: on the generated sample set,
// its outputs compared with what the library itself computes, its error
// paths checked by exit status and by messages that name the file.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <sstream>

#include "files.h"
#include "image_io.h"
#include "options.h"
#include "support/images.h"

extern char** environ;

using imgnorm_cli::readImage;
using imgnorm_cli::writeImage;
using namespace clitest;
using vkImageNormalizerDefs::Method;

namespace {

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
};

std::string show(const Outcome& o) { return "status " + std::to_string(o.status) + "\nstdout:\n" + o.out + "stderr:\n" + o.err; }

// Runs the executable with args; stdout and stderr go to files in dir (or
// stderr to ttyFd when given).
Outcome runCli(const std::vector<std::string>& args, const fs::path& dir, int ttyFd = -1) {
    std::vector<std::string> all{IMGNORM_CLI_PATH};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    const std::string outPath = (dir / ".stdout").string(), errPath = (dir / ".stderr").string();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (ttyFd >= 0)
        posix_spawn_file_actions_adddup2(&actions, ttyFd, 2);
    else
        posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = 0;
    Outcome o;
    const int rc = posix_spawn(&pid, all[0].c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        ADD_FAILURE() << "cannot start " << all[0];
        return o;
    }
    int wstatus = 0;
    waitpid(pid, &wstatus, 0);
    o.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
    const auto out = readBytes(outPath);
    o.out.assign(out.begin(), out.end());
    if (ttyFd < 0) {
        const auto err = readBytes(errPath);
        o.err.assign(err.begin(), err.end());
    }
    return o;
}

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

const std::vector<std::string> kRunTime = {"drift", "contrast", "ramp", "vignette", "defect"};

// The sample set, generated once by the executable for all tests.
class Cli : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        samples_ = fs::path(IMGNORM_TEST_WORK_DIR) / "samples";
        fs::remove_all(samples_);
        fs::create_directories(samples_);
        const Outcome o = runCli({"samples", samples_.string(), "--size", "96x72"}, samples_);
        ASSERT_EQ(o.status, 0) << show(o);
    }
    void SetUp() override { dir_ = freshDir(); }

    static std::string sample(const std::string& name) { return (samples_ / (name + ".png")).string(); }
    Outcome cli(const std::vector<std::string>& args) const { return runCli(args, dir_); }
    std::string path(const std::string& name) const { return (dir_ / name).string(); }

    // What the library gives for the image with a tool trained on the
    // golden image and the mask.
    static vkPelBuffer<std::uint8_t> libraryResult(const std::string& image, Method method,
                                                   const imgnorm_cli::ToolParams& params = {}) {
        vkImageNormalizer tool;
        imgnorm_cli::applyParams(params, tool);
        tool.referenceImage(readImage(sample("golden")), true);
        tool.maskImage(readImage(sample("mask")), true);
        tool.train(method, nullptr, 0);
        bool success = false;
        std::string message;
        auto out = tool.run(readImage(sample(image)), method, success, message, nullptr, 0);
        EXPECT_TRUE(success) << message;
        return out;
    }

    // Stores a tool; skips the test where this build cannot store tools yet
    // (the caller returns when IsSkipped()).
    void trainTool(const std::vector<std::string>& extra, const std::string& tool) {
        std::vector<std::string> args{"train", "--reference", sample("golden"), "--mask", sample("mask"), "-o", tool};
        args.insert(args.end(), extra.begin(), extra.end());
        const Outcome o = cli(args);
        if (o.status != 0 && contains(o.err, "not implemented")) GTEST_SKIP() << "storing tools: " << o.err;
        ASSERT_EQ(o.status, 0) << show(o);
    }

    static inline fs::path samples_;
    fs::path dir_;
};

const std::pair<const char*, Method> kMethods[] = {
    {"histogram", vkImageNormalizerDefs::eMatchHistogram},
    {"mean-stddev", vkImageNormalizerDefs::eMatchMeanAndStddev},
    {"tails", vkImageNormalizerDefs::eMatchHistogramTails},
    {"linear-fit", vkImageNormalizerDefs::eLinearlyFitGrayValues},
    {"local-mean", vkImageNormalizerDefs::eLocalCorrection},
    {"local-median", vkImageNormalizerDefs::eLocalCorrectionEnhanced},
};

}  // namespace

TEST_F(Cli, SamplesAreTheSameSceneUnderDifferentLightAndRepeatable) {
    const auto golden = readImage(sample("golden"));
    const auto mask = readImage(sample("mask"));
    EXPECT_EQ(golden.width(), 96);
    EXPECT_EQ(golden.height(), 72);
    const auto m = testimg::pixels(mask);
    EXPECT_EQ(std::count(m.begin(), m.end(), 0) + std::count(m.begin(), m.end(), 255), std::ptrdiff_t(m.size()));
    EXPECT_GT(std::count(m.begin(), m.end(), 0), 100);
    for (const auto& name : kRunTime) {
        const auto img = readImage(sample(name));
        ASSERT_EQ(img.window(), golden.window()) << name;
        EXPECT_NE(testimg::pixels(img), testimg::pixels(golden)) << name;
    }
    // The ramp is darker than the golden image on the left and brighter on
    // the right.
    const auto ramp = readImage(sample("ramp"));
    EXPECT_LT(int(testimg::at(ramp, 1, 40)) - int(testimg::at(golden, 1, 40)), -30);
    EXPECT_GT(int(testimg::at(ramp, 94, 40)) - int(testimg::at(golden, 94, 40)), 30);

    const Outcome again = cli({"samples", dir_.string(), "--size", "96x72"});
    ASSERT_EQ(again.status, 0) << show(again);
    for (const auto& name : {"golden", "mask", "drift", "contrast", "ramp", "vignette", "defect"})
        EXPECT_EQ(readBytes(dir_ / (std::string(name) + ".png")), readBytes(samples_ / (std::string(name) + ".png")))
            << name;
}

TEST_F(Cli, RunGivesTheLibrarysResultForEveryMethod) {
    for (const auto& [name, method] : kMethods) {
        for (const std::string& image : {std::string("drift"), std::string("ramp")}) {
            SCOPED_TRACE(std::string(name) + " on " + image);
            const std::string out = path(std::string(name) + "-" + image + ".png");
            const Outcome o = cli({"run", "--reference", sample("golden"), "--mask", sample("mask"), "--method", name,
                                   "-o", out, sample(image)});
            if (o.status != 0 && contains(o.err, "not implemented")) {
                std::cout << name << " is not available in this build\n";
                break;
            }
            ASSERT_EQ(o.status, 0) << show(o);
            EXPECT_EQ(o.out, "ok      " + sample(image) + " -> " + out + "\n");
            EXPECT_EQ(testimg::pixels(readImage(out)), testimg::pixels(libraryResult(image, method)));
        }
    }
}

TEST_F(Cli, IdentityNeedsNoToolAndCopiesThePixels) {
    const Outcome o = cli({"run", "--method", "eIdentity", "-o", path("copy.pgm"), sample("vignette")});
    ASSERT_EQ(o.status, 0) << show(o);
    EXPECT_EQ(testimg::pixels(readImage(path("copy.pgm"))), testimg::pixels(readImage(sample("vignette"))));
}

TEST_F(Cli, ParameterOptionsReachTheTool) {
    imgnorm_cli::ToolParams params;
    params.neighborhood = "21,15";
    params.granularity = "2,3";
    params.range = "-20,25";
    const Outcome o = cli({"run", "--reference", sample("golden"), "--mask", sample("mask"), "--method",
                           "local-mean", "--neighborhood", "21,15", "--granularity", "2,3", "--range", "-20,25", "-o",
                           path("p.png"), sample("vignette")});
    ASSERT_EQ(o.status, 0) << show(o);
    const auto expected = testimg::pixels(libraryResult("vignette", vkImageNormalizerDefs::eLocalCorrection, params));
    EXPECT_EQ(testimg::pixels(readImage(path("p.png"))), expected);
    EXPECT_NE(testimg::pixels(libraryResult("vignette", vkImageNormalizerDefs::eLocalCorrection)), expected);

    params = {};
    params.tails = "0.1,0.9";
    const Outcome t = cli({"run", "--reference", sample("golden"), "--mask", sample("mask"), "--method", "tails",
                           "--tails", "0.1,0.9", "-o", path("t.png"), sample("defect")});
    ASSERT_EQ(t.status, 0) << show(t);
    EXPECT_EQ(testimg::pixels(readImage(path("t.png"))),
              testimg::pixels(libraryResult("defect", vkImageNormalizerDefs::eMatchHistogramTails, params)));
}

TEST_F(Cli, KeepMaskedCopiesTheRunTimePixelsOutsideTheMask) {
    const Outcome o = cli({"run", "--reference", sample("golden"), "--mask", sample("mask"), "--method", "histogram",
                           "--keep-masked", "-o", path("k.png"), sample("drift")});
    ASSERT_EQ(o.status, 0) << show(o);
    const auto out = readImage(path("k.png")), in = readImage(sample("drift")), mask = readImage(sample("mask"));
    const auto plain = libraryResult("drift", vkImageNormalizerDefs::eMatchHistogram);
    for (std::int32_t y = 0; y < 72; ++y)
        for (std::int32_t x = 0; x < 96; ++x)
            ASSERT_EQ(testimg::at(out, x, y), testimg::at(mask, x, y) == 0 ? testimg::at(in, x, y) : testimg::at(plain, x, y))
                << x << "," << y;
}

TEST_F(Cli, BatchOnTwoJobsEqualsOneJobAndReportsInInputOrder) {
    const fs::path in = dir_ / "in";
    fs::create_directories(in);
    for (const auto& name : kRunTime) fs::copy_file(sample(name), in / (name + ".png"));
    writeText(in / "notes.txt", "not an image, skipped");
    std::vector<std::string> sorted = kRunTime;
    std::sort(sorted.begin(), sorted.end());
    std::string expected;
    for (const auto& name : sorted)
        expected += "ok      " + (in / (name + ".png")).string() + " -> " + (dir_ / "j2" / (name + ".png")).string() + "\n";

    const std::vector<std::string> common{"run", "--reference", sample("golden"), "--mask", sample("mask"),
                                          "--method", "local-median"};
    auto args = common;
    args.insert(args.end(), {"-j", "2", "--out-dir", path("j2"), in.string()});
    const Outcome two = cli(args);
    ASSERT_EQ(two.status, 0) << show(two);
    EXPECT_EQ(two.out, expected);
    EXPECT_EQ(two.err, "");  // no progress line: stderr is not a terminal
    args = common;
    args.insert(args.end(), {"--out-dir", path("j1"), in.string()});
    ASSERT_EQ(cli(args).status, 0);
    for (const auto& name : kRunTime)
        EXPECT_EQ(readBytes(dir_ / "j2" / (name + ".png")), readBytes(dir_ / "j1" / (name + ".png"))) << name;
}

TEST_F(Cli, FailedImagesAreReportedAndTheOthersStillWritten) {
    const auto good = readBytes(sample("drift"));
    writeBytes(dir_ / "cut.png", std::vector<std::uint8_t>(good.begin(), good.begin() + good.size() / 2));
    writeRgbPng(dir_ / "rgb.png", 96, 72);
    const Outcome o = cli({"run", "--reference", sample("golden"), "--method", "mean-stddev", "-j", "2", "--out-dir",
                           path("out"), sample("ramp"), path("cut.png"), path("missing.png"), path("rgb.png"),
                           sample("defect")});
    EXPECT_EQ(o.status, 1) << show(o);
    EXPECT_TRUE(contains(o.err, "failed  " + path("cut.png") + ": corrupt PNG file")) << o.err;
    EXPECT_TRUE(contains(o.err, "failed  " + path("missing.png") + ": no such file")) << o.err;
    EXPECT_TRUE(contains(o.err, "failed  " + path("rgb.png") + ": colour PNG (RGB)")) << o.err;
    EXPECT_TRUE(contains(o.err, "imgnorm: 3 of 5 images failed")) << o.err;
    EXPECT_TRUE(fs::exists(dir_ / "out" / "ramp.png"));
    EXPECT_TRUE(fs::exists(dir_ / "out" / "defect.png"));
    EXPECT_FALSE(fs::exists(dir_ / "out" / "cut.png"));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_ / "out"), fs::directory_iterator()), 2);
}

TEST_F(Cli, GrayMapThatCannotBeBuiltIsSuccessFalseWithTheLibrarysMessage) {
    vkPelBuffer<std::uint8_t> flat(96, 72);
    vfPelSet<std::uint8_t>(flat, 90);
    writeImage(path("flat.png"), flat);
    const Outcome o = cli({"run", "--reference", sample("golden"), "--method", "mean-stddev", "--out-dir",
                           path("out"), path("flat.png"), sample("drift")});
    EXPECT_EQ(o.status, 1) << show(o);
    EXPECT_TRUE(contains(o.err, "failed  " + path("flat.png") +
                                    ": success=false: Cannot match when standard deviation is 0."))
        << o.err;
    EXPECT_FALSE(fs::exists(dir_ / "out" / "flat.png"));
    EXPECT_TRUE(fs::exists(dir_ / "out" / "drift.png"));
}

TEST_F(Cli, LargerImageIsNormalizedWhereTheReferenceCoversIt) {
    vkPelBuffer<std::uint8_t> big(120, 80);
    vfPelSet<std::uint8_t>(big, 7);
    vkPelBuffer<std::uint8_t> part(big);
    part.window(vkPelRect(0, 0, 96, 72));
    vfPelCopy<std::uint8_t>(readImage(sample("drift")), part);
    writeImage(path("big.png"), big);
    const Outcome o = cli({"run", "--reference", sample("golden"), "--mask", sample("mask"), "--method", "histogram",
                           "-o", path("out.png"), path("big.png")});
    ASSERT_EQ(o.status, 0) << show(o);
    EXPECT_TRUE(contains(o.out, "(output is 96 x 72 of the 120 x 80 image")) << o.out;
    EXPECT_EQ(testimg::pixels(readImage(path("out.png"))),
              testimg::pixels(libraryResult("drift", vkImageNormalizerDefs::eMatchHistogram)));
}

TEST_F(Cli, FormatOptionConvertsAndOutputsNeverOverwriteInputs) {
    const fs::path in = dir_ / "in";
    fs::create_directories(in);
    fs::copy_file(sample("drift"), in / "drift.png");
    const auto before = readBytes(in / "drift.png");
    Outcome o = cli({"run", "--method", "identity", "--out-dir", in.string(), in.string()});
    EXPECT_EQ(o.status, 2) << show(o);
    EXPECT_TRUE(contains(o.err, "would overwrite it")) << o.err;
    EXPECT_EQ(readBytes(in / "drift.png"), before);

    o = cli({"run", "--method", "identity", "--format", "pgm", "--out-dir", in.string(), in.string()});
    ASSERT_EQ(o.status, 0) << show(o);
    EXPECT_EQ(testimg::pixels(readImage((in / "drift.pgm").string())), testimg::pixels(readImage(sample("drift"))));
    EXPECT_EQ(readBytes(in / "drift.pgm").front(), 'P');

    fs::create_directories(dir_ / "other");
    fs::copy_file(sample("ramp"), dir_ / "other" / "drift.png");
    o = cli({"run", "--method", "identity", "--out-dir", path("out"), (in / "drift.png").string(),
             path("other/drift.png")});
    EXPECT_EQ(o.status, 2) << show(o);
    EXPECT_TRUE(contains(o.err, "would both be written to")) << o.err;
    EXPECT_FALSE(fs::exists(dir_ / "out"));
}

TEST_F(Cli, BadOptionValuesAreUsageErrorsNamingTheOption) {
    const std::vector<std::string> base{"run", "--reference", sample("golden"), "--method", "local-mean", "-o",
                                        path("x.png"), sample("drift")};
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"--neighborhood", "0,5"}, "--neighborhood 0,5: Both elements of neighborhoodSize must be >= 1"},
        {{"--granularity", "2"}, "--granularity 2: expected two integers as X,Y"},
        {{"--tails", "0.6,0.4"}, "--tails 0.6,0.4: Tail fraction must be"},
        {{"--range", "5,9"}, "--range 5,9: intensityVariationRange must be: x <= 0 and y >= 0"},
        {{"--range", "-5,abc"}, "--range -5,abc: expected two integers"},
        {{"-j", "0"}, "-j"},
    };
    for (const auto& [extra, message] : cases) {
        auto args = base;
        args.insert(args.end(), extra.begin(), extra.end());
        const Outcome o = cli(args);
        EXPECT_EQ(o.status, 2) << show(o);
        EXPECT_TRUE(contains(o.err, message)) << o.err;
        EXPECT_FALSE(fs::exists(dir_ / "x.png"));
    }
    Outcome o = cli({"run", "--method", "sharpen", "-o", path("x.png"), sample("drift")});
    EXPECT_EQ(o.status, 2);
    EXPECT_TRUE(contains(o.err, "unknown method 'sharpen'")) << o.err;
    o = cli({"train", "--reference", sample("golden"), "--methods", "histogram,,tails", "-o", path("t.tool")});
    EXPECT_EQ(o.status, 2);
    EXPECT_TRUE(contains(o.err, "empty method name in 'histogram,,tails'")) << o.err;
    o = cli({"run", "--method", "histogram", "-o", path("x.png"), sample("drift")});
    EXPECT_EQ(o.status, 2);
    EXPECT_TRUE(contains(o.err, "needs a trained tool")) << o.err;
    o = cli({"run", "--method", "identity", "-o", path("x.png"), sample("drift"), sample("ramp")});
    EXPECT_EQ(o.status, 2);
    EXPECT_TRUE(contains(o.err, "-o takes one input image")) << o.err;
    o = cli({"run", "--tool", path("t"), "--reference", sample("golden"), "--method", "identity", "-o", path("x.png"),
             sample("drift")});
    EXPECT_EQ(o.status, 2);
    EXPECT_TRUE(contains(o.err, "excludes")) << o.err;
    EXPECT_EQ(cli({}).status, 2);
}

TEST_F(Cli, BadInputFilesAreErrorsNamingTheFile) {
    const auto good = readBytes(sample("golden"));
    writeBytes(dir_ / "cut.png", std::vector<std::uint8_t>(good.begin(), good.begin() + 100));
    writeRgbPng(dir_ / "rgb.png", 96, 72);
    const std::pair<std::string, std::string> cases[] = {
        {path("nothing.png"), path("nothing.png") + ": no such file"},
        {path("cut.png"), path("cut.png") + ": corrupt PNG file: file is truncated"},
        {path("rgb.png"), path("rgb.png") + ": colour PNG (RGB); imgnorm reads 8-bit grayscale images"},
    };
    for (const auto& [reference, message] : cases) {
        const Outcome o = cli({"train", "--reference", reference, "--methods", "histogram", "-o", path("t.tool")});
        EXPECT_EQ(o.status, 1) << show(o);
        EXPECT_EQ(o.err, "imgnorm: error: " + message + "\n");
        EXPECT_FALSE(fs::exists(dir_ / "t.tool"));
    }
}

TEST_F(Cli, DiagWritesEveryRecordInOrderWithItsLevel) {
    const Outcome o = cli({"run", "--reference", sample("golden"), "--mask", sample("mask"), "--method",
                           "histogram", "--diag", path("diag"), "-o", path("out.png"), sample("drift")});
    ASSERT_EQ(o.status, 0) << show(o);
    std::vector<std::string> train, run;
    for (const auto& e : fs::directory_iterator(dir_ / "diag" / "train")) train.push_back(e.path().filename().string());
    for (const auto& e : fs::directory_iterator(dir_ / "diag" / "drift")) run.push_back(e.path().filename().string());
    std::sort(train.begin(), train.end());
    std::sort(run.begin(), run.end());
    EXPECT_EQ(train, (std::vector<std::string>{"000-L0-referenceImage.png", "001-L0-Parameters.txt",
                                               "002-L0-maskImage.png"}));
    EXPECT_EQ(run, (std::vector<std::string>{"000-L0-Image_Normalization.png", "001-L0-Run-time_parameters.txt",
                                             "002-L1-referenceImage.png", "003-L1-maskImage.png",
                                             "004-L1-Image_Normalization_Result.png"}));
    const fs::path d = dir_ / "diag" / "drift";
    EXPECT_EQ(testimg::pixels(readImage((d / "000-L0-Image_Normalization.png").string())),
              testimg::pixels(readImage(sample("drift"))));
    EXPECT_EQ(testimg::pixels(readImage((d / "004-L1-Image_Normalization_Result.png").string())),
              testimg::pixels(readImage(path("out.png"))));
    EXPECT_EQ(testimg::pixels(readImage((d / "003-L1-maskImage.png").string())),
              testimg::pixels(readImage(sample("mask"))));
    const auto text = readBytes(d / "001-L0-Run-time_parameters.txt");
    EXPECT_EQ(std::string(text.begin(), text.end()).rfind("method=eMatchHistogram\n", 0), 0u);
}

TEST_F(Cli, ProgressLineOnlyWhenStderrIsATerminal) {
    int master = -1, slave = -1;
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    const Outcome o = runCli({"run", "--method", "identity", "--out-dir", path("out"), sample("drift"),
                              sample("ramp"), sample("defect")},
                             dir_, slave);
    close(slave);
    std::string tty;
    char buf[4096];
    for (;;) {
        pollfd p{master, POLLIN, 0};
        if (poll(&p, 1, 0) <= 0) break;
        const ssize_t n = read(master, buf, sizeof buf);
        if (n <= 0) break;
        tty.append(buf, static_cast<std::size_t>(n));
    }
    close(master);
    ASSERT_EQ(o.status, 0);
    EXPECT_TRUE(contains(tty, "3/3 images")) << tty;
    EXPECT_TRUE(contains(tty, "\r\033[K")) << tty;

    const Outcome quiet = runCli({"run", "--method", "identity", "--out-dir", path("out2"), sample("drift")}, dir_);
    EXPECT_EQ(quiet.err, "");
}

TEST_F(Cli, InterruptFinishesTheImagesInProgressAndStartsNoOther) {
    const fs::path in = dir_ / "in";
    fs::create_directories(in);
    const int count = 400;
    for (int i = 0; i < count; ++i) fs::copy_file(sample("ramp"), in / ("img" + std::to_string(1000 + i) + ".png"));
    std::vector<std::string> all{IMGNORM_CLI_PATH, "run", "--reference", sample("golden"), "--method",
                                 "local-median", "-j", "2", "--out-dir", path("out"), in.string()};
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    const std::string outPath = path("stdout.txt"), errPath = path("stderr.txt");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = 0;
    ASSERT_EQ(posix_spawn(&pid, all[0].c_str(), &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    // Interrupt once the first image is reported.
    for (int i = 0; i < 20000 && (!fs::exists(outPath) || fs::file_size(outPath) == 0); ++i) usleep(500);
    kill(pid, SIGINT);
    int wstatus = 0;
    waitpid(pid, &wstatus, 0);
    ASSERT_TRUE(WIFEXITED(wstatus));
    const auto outBytes = readBytes(outPath), errBytes = readBytes(errPath);
    const std::string out(outBytes.begin(), outBytes.end()), err(errBytes.begin(), errBytes.end());
    if (WEXITSTATUS(wstatus) == 0) GTEST_SKIP() << "the batch finished before the interrupt arrived";
    EXPECT_EQ(WEXITSTATUS(wstatus), 130) << err;
    EXPECT_TRUE(contains(err, "imgnorm: interrupted after ")) << err;
    // Every image started was finished: one line and one whole file each,
    // no temporary file left behind.
    const auto lines = std::count(out.begin(), out.end(), '\n');
    std::ptrdiff_t files = 0;
    for (const auto& e : fs::directory_iterator(dir_ / "out")) {
        ++files;
        EXPECT_EQ(e.path().filename().string().front(), 'i') << e.path();
        EXPECT_EQ(readImage(e.path().string()).width(), 96);
    }
    EXPECT_EQ(files, lines);
    EXPECT_GT(lines, 0);
    EXPECT_LT(lines, count);
    EXPECT_TRUE(contains(err, "interrupted after " + std::to_string(lines) + " of 400 images")) << err;
}

TEST_F(Cli, CompareReportsExactDifferences) {
    writeText(dir_ / "a.pgm", "P2 2 2 255 10 20 30 40");
    writeText(dir_ / "b.pgm", "P2 2 2 255 13 20 29 40");
    writeText(dir_ / "m.pgm", "P2 2 2 255 1 0 9 0");
    Outcome o = cli({"compare", path("a.pgm"), path("b.pgm")});
    ASSERT_EQ(o.status, 0) << show(o);
    EXPECT_EQ(o.out, "mean_abs_diff=1.000 max_abs_diff=3 pixels=4\n");
    o = cli({"compare", path("a.pgm"), path("b.pgm"), "--mask", path("m.pgm")});
    EXPECT_EQ(o.out, "mean_abs_diff=2.000 max_abs_diff=3 pixels=2\n");
    o = cli({"compare", path("a.pgm"), sample("golden")});
    EXPECT_EQ(o.status, 1);
    EXPECT_TRUE(contains(o.err, "is 2 x 2 but")) << o.err;
}

TEST_F(Cli, HelpListsEveryOptionWithItsDefault) {
    const Outcome run = cli({"run", "--help"});
    ASSERT_EQ(run.status, 0);
    for (const char* part : {"--tool", "--reference", "--mask", "--method", "--neighborhood X,Y=101,101",
                             "--granularity X,Y=1,1", "--tails LO,HI=0,1", "--range LO,HI=-127,127", "--keep-masked",
                             "--out-dir", "-j,--jobs N:INT in [1 - 256]=1", "--diag", "--format", "Colour, alpha-channel and 16-bit images are rejected"})
        EXPECT_TRUE(contains(run.out, part)) << part << "\n" << run.out;
    const Outcome train = cli({"train", "--help"});
    for (const char* part : {"--reference", "--methods", "--neighborhood X,Y=101,101", "-o,--output", "--diag"})
        EXPECT_TRUE(contains(train.out, part)) << part << "\n" << train.out;
}

TEST_F(Cli, TrainingThatFailsStoresNothing) {
    vkPelBuffer<std::uint8_t> zero(96, 72);
    writeImage(path("zero.png"), zero);
    const Outcome o = cli({"train", "--reference", sample("golden"), "--mask", path("zero.png"), "--methods",
                           "histogram,local-mean", "-o", path("t.tool")});
    EXPECT_EQ(o.status, 1) << show(o);
    EXPECT_TRUE(contains(o.err, "cannot train for histogram, local-mean: Histogram must be non-empty")) << o.err;
    EXPECT_FALSE(fs::exists(dir_ / "t.tool"));
}

TEST_F(Cli, StoredToolRunsLikeATrainedOneAndInfoShowsIt) {
    const std::string tool = path("t.tool");
    trainTool({"--methods", "all", "--neighborhood", "31,21", "--tails", "0.05,0.95"}, tool);
    if (IsSkipped() || HasFatalFailure()) return;
    const Outcome info = cli({"info", tool});
    ASSERT_EQ(info.status, 0) << show(info);
    EXPECT_TRUE(contains(info.out, "trained methods:    histogram, mean-stddev, tails, linear-fit, local-mean, local-median\n"))
        << info.out;
    EXPECT_TRUE(contains(info.out, "reference image:    96 x 72 at 0,0\n")) << info.out;
    EXPECT_TRUE(contains(info.out, "mask image:         96 x 72 at 0,0\n")) << info.out;
    EXPECT_TRUE(contains(info.out, "neighborhood:       31,21\n")) << info.out;
    EXPECT_TRUE(contains(info.out, "tails:              0.05,0.95\n")) << info.out;
    EXPECT_TRUE(contains(info.out, "keep masked pixels: no\n")) << info.out;

    for (const auto& [name, method] : kMethods) {
        SCOPED_TRACE(name);
        std::vector<std::string> inputs;
        for (const auto& image : kRunTime) inputs.push_back(sample(image));
        std::vector<std::string> args{"run", "--tool", tool, "--method", name, "-j", "2", "--out-dir",
                                      path(std::string("s-") + name)};
        args.insert(args.end(), inputs.begin(), inputs.end());
        const Outcome stored = cli(args);
        if (stored.status != 0 && contains(stored.err, "not implemented")) continue;
        ASSERT_EQ(stored.status, 0) << show(stored);
        args = {"run", "--reference", sample("golden"), "--mask", sample("mask"), "--method", name,
                "--neighborhood", "31,21", "--tails", "0.05,0.95", "--out-dir", path(std::string("d-") + name)};
        args.insert(args.end(), inputs.begin(), inputs.end());
        const Outcome direct = cli(args);
        ASSERT_EQ(direct.status, 0) << show(direct);
        for (const auto& image : kRunTime)
            EXPECT_EQ(readBytes(dir_ / (std::string("s-") + name) / (image + ".png")),
                      readBytes(dir_ / (std::string("d-") + name) / (image + ".png")))
                << image;
    }
}

TEST_F(Cli, StoredToolOptionsOverrideAndUntrainedMethodIsAnError) {
    const std::string tool = path("t.tool");
    trainTool({"--methods", "histogram,local-mean"}, tool);
    if (IsSkipped() || HasFatalFailure()) return;
    Outcome o = cli({"run", "--tool", tool, "--method", "local-median", "-o", path("x.png"), sample("ramp")});
    EXPECT_EQ(o.status, 1) << show(o);
    EXPECT_TRUE(contains(o.err, tool + ": the tool is not trained for local-median (it is trained for: histogram, "
                                       "local-mean)"))
        << o.err;
    EXPECT_FALSE(fs::exists(dir_ / "x.png"));

    // --neighborhood retrains the stored tool; --keep-masked applies at once.
    o = cli({"run", "--tool", tool, "--method", "local-mean", "--neighborhood", "21,15", "--keep-masked", "-o",
             path("n.png"), sample("ramp")});
    ASSERT_EQ(o.status, 0) << show(o);
    const Outcome direct = cli({"run", "--reference", sample("golden"), "--mask", sample("mask"), "--method",
                                "local-mean", "--neighborhood", "21,15", "--keep-masked", "-o", path("d.png"),
                                sample("ramp")});
    ASSERT_EQ(direct.status, 0) << show(direct);
    EXPECT_EQ(readBytes(dir_ / "n.png"), readBytes(dir_ / "d.png"));
}

TEST_F(Cli, DamagedToolFileIsAnErrorNamingIt) {
    writeText(dir_ / "junk.tool", "this is not a tool");
    for (const auto& args : {std::vector<std::string>{"info", path("junk.tool")},
                             std::vector<std::string>{"run", "--tool", path("junk.tool"), "--method", "histogram",
                                                      "-o", path("x.png"), sample("drift")},
                             std::vector<std::string>{"info", path("none.tool")}}) {
        const Outcome o = cli(args);
        EXPECT_EQ(o.status, 1) << show(o);
        EXPECT_TRUE(contains(o.err, "imgnorm: error: " + args[args[0] == "info" ? 1 : 2] + ": ")) << o.err;
    }
}
