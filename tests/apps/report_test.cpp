// The report command as a user meets it: the sample set's report opened in
// headless Chromium (a screenshot that is not blank, every section in the
// page, no request leaving it), and bad input reported as run reports it.
#include <gtest/gtest.h>
#include <png.h>
#include <unistd.h>

#include <algorithm>
#include <set>
#include <sstream>

#include "files.h"

using namespace clitest;

namespace {

Outcome imgnorm(const std::string& args, const fs::path& dir) {
    return shell("cd '" + dir.string() + "' && '" IMGNORM_CLI_PATH "' " + args, dir);
}

// Chromium without anything that talks to the network on its own account,
// in a fresh profile, with the page's requests logged.
std::string chromium(const fs::path& dir, const std::string& action) {
    return "timeout 120 chromium --headless --no-sandbox --disable-gpu --disable-quic "
           "--no-first-run "
           "--disable-background-networking --disable-component-update --disable-sync "
           "--host-resolver-rules='MAP * ~NOTFOUND' --window-size=1280,2400 --user-data-dir='" +
           (dir / "profile").string() + "' --log-net-log='" + (dir / "net.json").string() + "' " +
           action;
}

// The part of the page from the element with this id to the next method
// block or section.
std::string block(const std::string& dom, const std::string& id) {
    const auto start = dom.find("id=\"" + id + "\"");
    if (start == std::string::npos) return "";
    const auto end =
        std::min(dom.find("<div class=\"method\"", start + 1), dom.find("</section>", start));
    return dom.substr(start, end - start);
}

// Every value of src="...", href="..." and url(...) in html.
std::vector<std::string> linkTargets(const std::string& html) {
    std::vector<std::string> out;
    for (const auto& [open, close] :
         {std::pair<std::string, char>{"src=\"", '"'}, {"href=\"", '"'}, {"url(", ')'}})
        for (auto at = html.find(open); at != std::string::npos; at = html.find(open, at + 1)) {
            const auto start = at + open.size();
            out.push_back(html.substr(start, html.find(close, start) - start));
        }
    return out;
}

std::size_t count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

}  // namespace

// Ten images, the sample set twice: the first eight sections are in the page
// as it loads, the last two are drawn when a link leads into them.
TEST(Report, SampleSetRendersInChromiumWithItsSectionsAndNoRequestLeavingThePage) {
    const fs::path dir = freshDir();
    ASSERT_EQ(imgnorm("samples s --size 160x120", dir).status, 0);
    std::string images;
    for (int twice = 0; twice < 2; ++twice)
        for (const char* name : {"drift", "contrast", "ramp", "vignette", "defect"})
            images += std::string(" s/") + name + ".png";
    const Outcome made = imgnorm(
        "report --reference s/golden.png --mask s/mask.png --granularity 2,2 -j 2 -o 'r 1.html'" +
            images,
        dir);
    ASSERT_EQ(made.status, 0) << made.err;
    EXPECT_NE(made.out.find("report  r 1.html"), std::string::npos) << made.out;
    const std::string html = readFile(dir / "r 1.html");

    // Nothing in the file points outside it but the full-size images next
    // to it, which exist; the page forbids every other source.
    EXPECT_NE(html.find("content=\"default-src 'none'; img-src data:;"), std::string::npos);
    std::set<std::string> files;
    for (const std::string& target : linkTargets(html)) {
        if (target.rfind("data:image/png;base64,", 0) == 0 || target.rfind("#", 0) == 0) continue;
        ASSERT_EQ(target.rfind("r%201_files/", 0), 0u) << target;
        files.insert(target.substr(0, target.find('#')));
        EXPECT_TRUE(fs::is_regular_file(dir / ("r 1_files/" + target.substr(12)))) << target;
    }
    EXPECT_EQ(files.size(), 1 + 10 * 7u);  // the reference, each image and its six results

    if (std::system("command -v chromium >/dev/null 2>&1") != 0)
        GTEST_SKIP()
            << "chromium is not installed (Debian package chromium; scripts/deps.sh installs it): "
               "the report was written and checked, but not opened in a browser";

    const fs::path url = dir / "r 1.html";
    const Outcome shot = shell(chromium(dir, "--screenshot='" + (dir / "shot.png").string() +
                                                 "' 'file://" + url.string() + "'"),
                               dir);
    ASSERT_EQ(shot.status, 0) << shot.err;
    png_image png{};
    png.version = PNG_IMAGE_VERSION;
    ASSERT_NE(png_image_begin_read_from_file(&png, (dir / "shot.png").c_str()), 0);
    png.format = PNG_FORMAT_GRAY;
    std::vector<std::uint8_t> gray(PNG_IMAGE_SIZE(png));
    ASSERT_NE(png_image_finish_read(&png, nullptr, gray.data(), 0, nullptr), 0);
    // Text, tables, thumbnails and heat maps: many gray levels, and much
    // that is not white.
    std::set<std::uint8_t> levels(gray.begin(), gray.end());
    const auto inked =
        std::count_if(gray.begin(), gray.end(), [](std::uint8_t v) { return v < 235; });
    EXPECT_GT(levels.size(), 100u);
    EXPECT_GT(inked, static_cast<std::ptrdiff_t>(gray.size() / 20));

    // The page as its script leaves it, opened at a link into the last image.
    fs::remove(dir / "net.json");
    const Outcome opened =
        shell(chromium(dir, "--dump-dom 'file://" + url.string() + "#i10-linear-fit'"), dir);
    ASSERT_EQ(opened.status, 0) << opened.err;
    const std::string& dom = opened.out;
    for (const char* section : {"id=\"summary\"", "id=\"summary-table\" data-sortable=\"ready\"",
                                "id=\"tool\"", "id=\"command\"", "id=\"images\""})
        EXPECT_NE(dom.find(section), std::string::npos) << section;
    EXPECT_EQ(count(block(dom, "summary-table"), "<tr>"), 1 + 10 * 6u);
    EXPECT_NE(block(dom, "command").find("--granularity 2,2 -j 2 -o 'r 1.html' s/drift.png"),
              std::string::npos);
    EXPECT_NE(block(dom, "tool").find("linear-fit, local-mean, local-median"), std::string::npos);
    for (const int image : {1, 8, 10})
        for (const char* method :
             {"histogram", "mean-stddev", "tails", "linear-fit", "local-mean", "local-median"}) {
            const std::string id =
                std::string("i").append(std::to_string(image)).append("-").append(method);
            const std::string b = block(dom, id);
            SCOPED_TRACE(id);
            EXPECT_NE(b.find("class=\"ok\">success"), std::string::npos);
            EXPECT_EQ(count(b, "class=\"bg "), 3u);  // reference, run-time image, difference before
            EXPECT_EQ(count(b, "class=\"thumb"), 2u + (std::string(method).rfind("local", 0) == 0));
            EXPECT_EQ(count(b, "class=\"hist\""), 1u);
            EXPECT_EQ(count(b, "class=\"joint\""), std::string(method) == "linear-fit" ? 1u : 0u);
            EXPECT_EQ(count(b, "class=\"fit\""), std::string(method) == "linear-fit" ? 1u : 0u);
        }
    EXPECT_EQ(block(dom, "i10").find("class=\"later\""), std::string::npos);  // drawn

    // Requests the page made (the browser's own carry no page initiator):
    // none but for the file itself.
    std::istringstream log(readFile(dir / "net.json"));
    const std::string browser = "\"initiator\":\"not an origin\"";
    for (std::string line; std::getline(log, line);) {
        const auto at = line.find("\"initiator\":\"");
        if (at == std::string::npos || line.compare(at, browser.size(), browser) == 0) continue;
        const auto u = line.find("\"url\":\"");
        EXPECT_TRUE(u != std::string::npos &&
                    (line.compare(u + 7, 5, "file:") == 0 || line.compare(u + 7, 5, "data:") == 0))
            << line.substr(0, 300);
    }
    EXPECT_GE(readFile(dir / "net.json").size(), 1000u);  // the log was written
}

// The same inputs give the same failure lines as run, and the report is
// still written, with the failure in it. (Its usage errors are checked with
// the other commands' in cli_test.cpp.)
TEST(Report, BadInputFailsAsRunFailsAndIsShownInThePage) {
    const fs::path dir = freshDir();
    ASSERT_EQ(imgnorm("samples s --size 48x36", dir).status, 0);
    writeFile(dir / "s" / "broken.png", readFile(dir / "s" / "drift.png").substr(0, 60));
    const std::pair<std::string, std::string> cases[] = {
        {"--reference s/golden.png --method histogram --out-dir o",
         "--reference s/golden.png --methods histogram"},
        {"--tool missing.tool --method histogram --out-dir o", "--tool missing.tool"},
    };
    for (const auto& [run, report] : cases) {
        const Outcome r = imgnorm("run " + run + " s/drift.png s/broken.png", dir);
        const Outcome p = imgnorm("report " + report + " -o r.html s/drift.png s/broken.png", dir);
        SCOPED_TRACE(report);
        EXPECT_EQ(p.status, r.status);
        EXPECT_EQ(p.err, r.err);
        if (p.status == 1 && r.err.find("failed  ") != std::string::npos) {
            EXPECT_NE(readFile(dir / "r.html").find("s/broken.png: corrupt PNG file"),
                      std::string::npos);
        }
    }
}
