// kestrel_bundle_prices DIR OUT.db: the build step that turns the bundled
// price files into the SQLite store the command line reads by default.
//
// The result keeps a rollback journal rather than WAL: it is shipped as one
// file and read from places users cannot write (an installed share/), where
// SQLite cannot open a WAL database.
#include <heron/sqlite_store.hpp>

#include <iostream>

int main(int argc, char** argv) {
    if (argc != 3) {
        std::cerr << "usage: kestrel_bundle_prices DIR OUT.db" << std::endl;
        return 2;
    }
    try {
        heron::SqliteStore::Options options;
        options.wal = false;
        heron::SqliteStore store(argv[2], options);
        std::size_t rows = 0;
        for (const auto& r : store.import_directory(argv[1])) rows += r.rows;
        std::cout << "bundled " << rows << " rows of " << argv[1] << " into " << argv[2] << std::endl;
        return 0;
    } catch (const std::exception& e) {
        std::cerr << "error: " << e.what() << std::endl;
        return 1;
    }
}
