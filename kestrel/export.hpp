#pragma once
// What each of kestrel's shared libraries exports. They are built with hidden
// symbol visibility: a declaration is part of a library's binary interface only
// when its public header marks it with that library's macro. Internal code (the
// kestrel::detail namespace, the engines) stays inside the library it is
// linked into.
//
// One macro per library, named after it, so a declaration says where it is
// defined. On ELF, defining and using a symbol take the same attribute.
#if defined(__GNUC__) || defined(__clang__)
#define KESTREL_VISIBLE __attribute__((visibility("default")))
#else
#define KESTREL_VISIBLE
#endif

#define KESTREL_CALENDAR_EXPORT KESTREL_VISIBLE  // calendar.hpp, errors.hpp
#define KESTREL_UTILS_EXPORT KESTREL_VISIBLE
#define KESTREL_RANDOM_SAMPLE_EXPORT KESTREL_VISIBLE
#define KESTREL_KEEL_EXPORT KESTREL_VISIBLE  // keel.hpp, market.hpp
#define KESTREL_VOL_EXPORT KESTREL_VISIBLE   // market/vol_calibration.hpp, market/local_vol.hpp
#define KESTREL_VANILLA_EXPORT KESTREL_VISIBLE
#define KESTREL_ASIAN_EXPORT KESTREL_VISIBLE
#define KESTREL_BARRIER_EXPORT KESTREL_VISIBLE
#define KESTREL_CORRIDOR_EXPORT KESTREL_VISIBLE
#define KESTREL_TANDEM_EXPORT KESTREL_VISIBLE
#define KESTREL_NOTES_EXPORT KESTREL_VISIBLE  // notes/note.hpp: the notes' base class
#define KESTREL_SNOWBALL_EXPORT KESTREL_VISIBLE
#define KESTREL_PHOENIX_EXPORT KESTREL_VISIBLE
#define KESTREL_KESTREL_EXPORT KESTREL_VISIBLE  // kestrel.hpp: make_option and the product table
#define KESTREL_BOOK_EXPORT KESTREL_VISIBLE     // book.hpp, book_ladder.hpp
#define KESTREL_BOOK_REPORT_EXPORT KESTREL_VISIBLE
#define KESTREL_CASHFLOWS_EXPORT KESTREL_VISIBLE
#define KESTREL_RUNS_EXPORT KESTREL_VISIBLE
#define KESTREL_EXPLAIN_EXPORT KESTREL_VISIBLE
#define KESTREL_BACKTEST_EXPORT KESTREL_VISIBLE
#define HERON_EXPORT KESTREL_VISIBLE
