#pragma once
// `gisd changes install [--print] | uninstall | status`: the change capture in
// the database that the consumer follows (changes_consumer.hpp).

#include <iosfwd>
#include <string>

namespace vectile {

// The version of changes_v3.sql, as `status` reports it.
inline constexpr int changes_sql_version = 3;

// The scripts, as in the repository: each runs in one transaction, and
// install again changes nothing.
extern const char* const changes_install_sql;
extern const char* const changes_uninstall_sql;

struct changes_command {
    std::string action;  // install, uninstall, status
    bool print = false;  // install: print the SQL, touch nothing
    std::string database_url;
};

// Runs the command on its own loop; what it did on `out`, failures on `err`. The exit status.
int run_changes_command(const changes_command& command, std::ostream& out, std::ostream& err);

}  // namespace vectile
