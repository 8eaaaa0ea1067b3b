// The book reports' writers on a hand-made result: what comes from the input
// files is escaped, failures are stated, the charts have one series per
// underlying, and a report that cannot be written says so and leaves nothing.
#include "support/test_support.hpp"

#include <kestrel/book_report.hpp>
#include <kestrel/errors.hpp>
#include <kestrel/market/calibrated_surface.hpp>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

namespace {

using namespace kestrel::book;
using kestrel::test::TempDir;
using ::testing::HasSubstr;
using ::testing::Not;

const std::string kHostileId = "<script>alert(1)</script>";
const std::string kQuotedUnderlying = "B\"onmouseover=\"x";

BookRow valued(std::size_t position, const std::string& id, const std::string& underlying, double npv) {
    BookRow row;
    row.position = position;
    row.id = id;
    row.type = "vanilla";
    row.underlying = underlying;
    row.spot = 100;
    row.value.npv = npv;
    return row;
}

UnderlyingLadder ladder(const std::string& underlying, double base) {
    UnderlyingLadder l;
    l.underlying = underlying;
    l.base_spot = 100, l.base_vol = 0.2, l.base_value = base, l.contracts = 1;
    for (double s : {-0.1, 0.0, 0.1}) l.points.push_back({s, 100 * (1 + s), base + 50 * s, 0.5, 0.01, 0});
    l.vol_shifts = {-0.05, 0.0};
    l.matrix = {{-5, -1, 4}, {-4.5, 0, std::numeric_limits<double>::quiet_NaN()}};
    return l;
}

struct Report {
    BookResult result;
    BookLadders ladders;
    BookMarket market;

    Report() {
        result.evaluation_date = QuantLib::Date(31, QuantLib::December, 2024);
        result.rows.push_back(valued(1, kHostileId, "A", 10));
        BookRow failed;
        failed.position = 2;
        failed.id = "broken-call";
        failed.type = "vanilla";
        failed.error = RowError{"KeyError", "strike <missing>"};
        result.rows.push_back(failed);
        result.rows.push_back(valued(3, "plain", kQuotedUnderlying, 5));
        result.totals = book_totals(result.rows);
        ladders.spot_shifts = {-0.1, 0.0, 0.1};
        ladders.underlyings = {ladder("A", 10), ladder(kQuotedUnderlying, 5)};
        market.r = 0.02;
        market.underlyings = {{"A", {0.2, 0.01, {}, std::nullopt, std::nullopt}},
                              {kQuotedUnderlying, {0.25, 0.0, {}, 100.0, std::nullopt}}};
    }

    std::string html() const {
        std::ostringstream out;
        write_html_report(out, result, ladders, market);
        return out.str();
    }
};

// The text of each <svg ...> element whose opening tag has `marker`.
std::vector<std::string> svgs_with(const std::string& page, const std::string& marker) {
    std::vector<std::string> found;
    for (std::size_t at = page.find("<svg"); at != std::string::npos; at = page.find("<svg", at + 1)) {
        const std::size_t end = page.find("</svg>", at);
        const std::string svg = page.substr(at, end - at);
        if (svg.substr(0, svg.find('>')).find(marker) != std::string::npos) found.push_back(svg);
    }
    return found;
}

std::size_t count(const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

TEST(BookReportHtml, EscapesWhatComesFromTheInputFiles) {
    const std::string page = Report().html();
    EXPECT_THAT(page, Not(HasSubstr("<script")));
    EXPECT_THAT(page, HasSubstr("&lt;script&gt;alert(1)&lt;/script&gt;"));
    EXPECT_THAT(page, Not(HasSubstr("B\"onmouseover")));
    EXPECT_THAT(page, HasSubstr("data-underlying=\"B&quot;onmouseover=&quot;x\""));
    EXPECT_THAT(page, HasSubstr("strike &lt;missing&gt;"));
    EXPECT_EQ(html_escape("a&b'c"), "a&amp;b&#39;c");
}

TEST(BookReportHtml, StatesFailedContractsOrThatNoneFailed) {
    Report report;
    std::string page = report.html();
    const std::string failed = page.substr(page.find("id=\"failed\""), page.find("id=\"positions\"") - page.find("id=\"failed\""));
    EXPECT_THAT(failed, HasSubstr("1 of 3 contracts failed"));
    EXPECT_THAT(failed, HasSubstr("broken-call"));
    EXPECT_THAT(failed, HasSubstr("KeyError"));

    report.result.rows.erase(report.result.rows.begin() + 1);
    report.result.totals = book_totals(report.result.rows);
    page = report.html();
    EXPECT_THAT(page, HasSubstr("None: every contract was valued."));
    EXPECT_THAT(page, Not(HasSubstr("broken-call")));
}

TEST(BookReportHtml, ChartsHaveOneSeriesPerUnderlyingAndMarkFailedCells) {
    const std::string page = Report().html();
    for (const char* chart : {"value", "delta", "gamma"}) {
        const auto svg = svgs_with(page, std::string("data-chart=\"") + chart + "\"");
        ASSERT_EQ(svg.size(), 1u) << chart;
        EXPECT_EQ(count(svg[0], "class=\"series\""), 2u) << chart;
        EXPECT_EQ(count(svg[0], "class=\"series\" data-underlying=\"A\""), 1u) << chart;
        // One point per spot shift in each series.
        EXPECT_EQ(count(svg[0], "<circle"), 6u) << chart;
    }
    const auto maps = svgs_with(page, "heat-map");
    ASSERT_EQ(maps.size(), 2u);
    EXPECT_EQ(count(maps[0], "class=\"cell\""), 6u);
    EXPECT_EQ(count(maps[0], "failed-cell"), 1u);
    EXPECT_THAT(page, HasSubstr("@page { size: A4"));
}

TEST(BookReportHtml, GreeksShowCarryRhoAndCurvesShowTheirPoints) {
    Report report;
    EXPECT_THAT(report.html(), Not(HasSubstr("carry_rho")));
    report.result.greeks = true;
    report.result.rows[0].carry_rho = -12.3456;
    report.result.totals = book_totals(report.result.rows);
    report.market.r = kestrel::RateCurve(std::vector<kestrel::CurvePoint>{{kestrel::Pillar::parse("1M"), 0.02},
                                                                          {kestrel::Pillar::parse("1Y"), 0.025}});
    report.market.underlyings[0].second.forwards = {{QuantLib::Date(21, QuantLib::March, 2025), 98.5}};
    const std::string page = report.html();
    EXPECT_THAT(page, HasSubstr("<th class=\"n\">carry_rho</th>"));
    EXPECT_THAT(page, HasSubstr("-12.346"));
    EXPECT_THAT(page, HasSubstr("curve: 1M 2.000%, 1Y 2.500%"));
    EXPECT_THAT(page, HasSubstr("from forwards: 2025-03-21 98.5"));
}

TEST(BookReportFiles, PicksTheFormatByExtensionAndRefusesOthers) {
    EXPECT_EQ(report_format_of("out/book.HTML"), ReportFormat::Html);
    EXPECT_EQ(report_format_of("book.htm"), ReportFormat::Html);
    EXPECT_EQ(report_format_of("book.xlsx"), ReportFormat::Xlsx);
    for (const char* bad : {"book.pdf", "book", "book.xlsx.bak"}) {
        try {
            report_format_of(bad);
            ADD_FAILURE() << bad << " was accepted";
        } catch (const kestrel::ValueError& e) {
            EXPECT_THAT(e.what(), HasSubstr(bad));
            EXPECT_THAT(e.what(), HasSubstr(".html"));
            EXPECT_THAT(e.what(), HasSubstr(".xlsx"));
        }
    }
}

TEST(BookReportFiles, WritesWholeFilesOrNoneAndNamesThePath) {
    const Report r;
    TempDir dir;
    write_report(dir.file("book.xlsx"), r.result, r.ladders, r.market);
    write_report(dir.file("book.html"), r.result, r.ladders, r.market);
    EXPECT_EQ(kestrel::test::read_file(dir.file("book.xlsx")).substr(0, 2), "PK");  // a zip container
    EXPECT_EQ(kestrel::test::read_file(dir.file("book.html")), r.html());

    // A directory that does not exist, and a directory where the file should go.
    std::filesystem::create_directory(dir.file("taken.xlsx"));
    std::filesystem::create_directory(dir.file("taken.html"));
    for (const std::string& path : {dir.file("missing/book.xlsx"), dir.file("taken.xlsx"), dir.file("missing/book.html"),
                                    dir.file("taken.html")}) {
        try {
            write_report(path, r.result, r.ladders, r.market);
            ADD_FAILURE() << path << " was written";
        } catch (const kestrel::ValueError& e) {
            EXPECT_THAT(e.what(), HasSubstr("cannot write report '" + path + "'"));
        }
    }
    std::vector<std::string> left;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) left.push_back(entry.path().filename());
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{"book.html", "book.xlsx", "taken.html", "taken.xlsx"}));
    EXPECT_TRUE(std::filesystem::is_empty(dir.file("taken.xlsx")));
}

}  // namespace

// A book on a calibrated surface: the page shows the smile per expiry (the
// quotes used as points, the fit as a line), the local volatility, and the
// bucketed vegas with their sum; a book without one shows neither.
TEST(BookReportHtml, SurfacesShowTheirSmilesAndBucketedVegas) {
    EXPECT_THAT(Report().html(), Not(HasSubstr("id=\"smiles\"")));
    EXPECT_THAT(Report().html(), Not(HasSubstr("id=\"bucketed\"")));

    const std::string path = std::string(KESTREL_EXAMPLES_DIR) + "/market_local_vol.json";
    std::ifstream in(path);
    Report report;
    report.market = BookMarket::from_json(nlohmann::ordered_json::parse(in), path);
    report.result.evaluation_date = QuantLib::Date(4, QuantLib::December, 2023);
    report.result.greeks = true;
    report.result.bucketed = true;
    BookRow row = valued(1, "put-90", "510050.XSHG", 0.01);
    row.spot = 2.367;
    row.value.vega = -0.0035;
    const QuantLib::Date e1(27, QuantLib::December, 2023), e2(24, QuantLib::January, 2024);
    row.bucketed_vega = {{e1, -0.001}, {e2, -0.0025}};
    report.result.rows = {row};
    report.result.totals = book_totals(report.result.rows);
    report.ladders.underlyings.clear();
    const std::string page = report.html();

    // The same surface the book valued on: the market's own, made once.
    const kestrel::Market m = report.market.market_of("510050.XSHG", 2.367, report.result.evaluation_date);
    const auto& surface = dynamic_cast<const kestrel::vol::CalibratedSurface&>(*m.vol.surface());
    const kestrel::vol::Calibration& c = *surface.calibration();
    const auto smile = svgs_with(page, "data-chart=\"smile\"");
    ASSERT_EQ(smile.size(), 1u);
    EXPECT_EQ(count(smile[0], "class=\"series\""), c.fits.size());
    EXPECT_EQ(count(smile[0], "class=\"quotes\""), c.fits.size());
    EXPECT_EQ(count(smile[0], "<circle"), c.table.size());
    const auto local = svgs_with(page, "data-chart=\"local-vol\"");
    ASSERT_EQ(local.size(), 1u);
    EXPECT_EQ(count(local[0], "<polyline"), c.fits.size());
    EXPECT_THAT(page, HasSubstr("data-underlying=\"510050.XSHG\""));
    EXPECT_THAT(page, HasSubstr("quotes (" + std::to_string(c.dropped.size()) + " dropped)"));

    // The bucketed table: the expiries as columns, the sum beside the parallel vega.
    const std::size_t at = page.find("<section id=\"bucketed\"");
    ASSERT_NE(at, std::string::npos);
    const std::string table = page.substr(at, page.find("</section>", at) - at);
    EXPECT_THAT(table, HasSubstr("<th class=\"n\">2023-12-27</th><th class=\"n\">2024-01-24</th><th class=\"n\">sum</th>"
                                 "<th class=\"n\">parallel vega</th>"));
    EXPECT_THAT(table, HasSubstr("<td class=\"n\">-0.0035000</td><td class=\"n\">-0.0035000</td></tr>"));
    EXPECT_EQ(count(table, "<tr class=\"total\">"), 1u);
}

// A surface that cannot be calibrated on the report's date says why instead
// of failing the report.
TEST(BookReportHtml, ASurfaceThatCannotBeShownSaysWhy) {
    Report report;
    report.market = BookMarket::from_json(nlohmann::ordered_json::parse(R"({"r": 0.02, "underlyings": {"X": {"q": 0,
        "vol": {"surface": {"expiries": ["3M"], "strikes": [90, 100, 110], "vols": [[0.2, 0.2, 0.2]]}}}}})"));
    EXPECT_THAT(report.html(), HasSubstr("No smile to show: no spot"));
}
