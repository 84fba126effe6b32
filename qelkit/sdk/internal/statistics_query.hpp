// The statistics queries (internal to qelfacade), shared by the facade's JSON
// face (QelDriver) and the SDK's typed one (Statistics): both read the
// stored login themselves and hand its session here.
#pragma once

#include <cstdint>
#include <string>

#include "qelkit/common/json.hpp"
#include "qelkit/sdk/pagefanout.hpp"

namespace qelkit::detail {

// Entries per page of the statistics list.
inline constexpr std::int64_t kListPageSize = 5;

// One page (a page below 1 means page 1) of the statistics list of account
// `qel_id` for [start_time, end_time]: the facade's rows {"drama_name",
// "view_number", "iaa_income", "mount_income"}. Throws as
// QelDriver::get_data_statistic.
Json list_page(const std::string& qel_id, const std::string& session, std::int64_t start_time,
               std::int64_t end_time, std::int64_t page);

// Every page of the detailed statistics at `date_time`: the normalised rows
// in page order. With `on_batch`, each batch's rows go there as the batch
// completes and are not returned (an exception it throws propagates as it
// is, once the batch's workers are joined). A failed page throws as
// QelDriver::get_detailed_data_statistic, carrying the rows not yet handed
// to `on_batch`.
Json detailed_rows(const std::string& qel_id, const std::string& session, std::int64_t date_time,
                   QelDis::ProgressHook on_progress, QelDis::BatchHook on_batch);

}  // namespace qelkit::detail
