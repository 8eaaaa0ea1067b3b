#pragma once
// Reports of a valued book for people rather than programs: one HTML page
// (tables, line charts of the spot ladders, heat maps of the spot x vol
// matrices) and one Excel workbook (the same figures as numbers, a sheet
// each for the market, positions, ladders and matrices).
//
// The HTML page is a single self-contained file: its charts are SVG written
// here, inline in the page, with no script and nothing fetched, so it opens
// offline, prints on A4 as vectors and has no code of its own that could fail
// in a browser.
#include <kestrel/export.hpp>
#include <kestrel/book.hpp>
#include <kestrel/book_ladder.hpp>

#include <iosfwd>
#include <string>
#include <string_view>

namespace kestrel::book {

enum class ReportFormat { Html, Xlsx };

// The format a report file's name asks for: ".html" or ".htm" (HTML), ".xlsx"
// (Excel), in any case. Anything else is a ValueError naming the file and the
// accepted extensions.
KESTREL_BOOK_REPORT_EXPORT ReportFormat report_format_of(const std::string& path);

// The HTML page. `market` gives r, vol and q; spots come from the rows.
KESTREL_BOOK_REPORT_EXPORT void write_html_report(std::ostream& out, const BookResult& result, const BookLadders& ladders,
                       const BookMarket& market);

// The workbook at `path`, written whole or not at all: into a temporary file
// beside it, then renamed over it. A failure is a ValueError naming the path
// and leaves no file behind.
KESTREL_BOOK_REPORT_EXPORT void write_xlsx_report(const std::string& path, const BookResult& result, const BookLadders& ladders,
                       const BookMarket& market);

// Either of the above by the file's extension (report_format_of); the HTML
// page is written whole or not at all as well.
KESTREL_BOOK_REPORT_EXPORT void write_report(const std::string& path, const BookResult& result, const BookLadders& ladders,
                  const BookMarket& market);

// Text made safe for HTML content and quoted attribute values: & < > " '
// become entities.
KESTREL_BOOK_REPORT_EXPORT std::string html_escape(std::string_view text);

}  // namespace kestrel::book
