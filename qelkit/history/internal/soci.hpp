// SOCI for the statistics history (internal to the history library), with
// its sqlite3 and postgresql back ends. Debian's SOCI headers are configured
// with Boost integration, which needs Boost's headers for templates this
// library never uses (Boost types as bound values): it is switched off here,
// which changes no compiled interface.
#pragma once

#include <soci/soci-config.h>
#undef SOCI_HAVE_BOOST
#undef SOCI_HAVE_BOOST_DATE_TIME

#include <soci/soci.h>
#include <soci/postgresql/soci-postgresql.h>
#include <soci/sqlite3/soci-sqlite3.h>
