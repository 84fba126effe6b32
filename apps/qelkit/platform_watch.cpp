#include "apps/qelkit/platform_watch.hpp"

#include <utility>

#include "qelkit/common/errors.hpp"
#include "qelkit/common/fetchcore.hpp"

namespace qelkit::cli {
namespace {

// The request's path without origin and query: "https://h:1/a/b?x" -> "/a/b".
std::string path_of(const std::string& url) {
  std::size_t start = url.find("://");
  start = url.find('/', start == std::string::npos ? 0 : start + 3);
  if (start == std::string::npos) return "/";
  std::size_t end = url.find('?', start);
  return url.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

std::string what_was_asked(const std::string& path) {
  if (path == SpiderDriver::kStatisticsListPath) return "the statistics query";
  if (path == SpiderDriver::kStatisticsDownloadPath) return "the detailed statistics download";
  if (path == SpiderDriver::kLoginCodePath) return "the login code request";
  if (path == SpiderDriver::kAuthDataPath) return "the account data request";
  return "the request to " + path;
}

bool is_busy(std::int64_t code) { return code >= 300200 && code <= 300203; }

}  // namespace

PlatformWatch::PlatformWatch(Transport& inner) : inner_(inner) {}

void PlatformWatch::on_page(std::function<void(int)> callback) {
  std::lock_guard<std::mutex> lock(m_);
  on_page_ = std::move(callback);
}

std::size_t PlatformWatch::requests() const {
  std::lock_guard<std::mutex> lock(m_);
  return requests_;
}

PlatformWatch::Exchange& PlatformWatch::exchange_for(const HttpRequest& request) {
  std::string path = path_of(request.url);
  std::string key = path + '\n' + (request.json ? request.json->dump() : std::string());
  auto [it, inserted] = exchanges_.try_emplace(key);
  if (inserted) {
    order_.push_back(key);
    it->second.path = std::move(path);
  }
  return it->second;
}

HttpResponse PlatformWatch::perform(const HttpRequest& request) {
  {
    std::lock_guard<std::mutex> lock(m_);
    ++requests_;
  }
  HttpResponse response;
  try {
    response = inner_.perform(request);
  } catch (const TransportError& e) {
    std::lock_guard<std::mutex> lock(m_);
    Exchange& x = exchange_for(request);
    x.failed = true;
    x.failure = e.what();
    throw;
  }
  std::optional<std::int64_t> err_code;
  if (response.status <= 201) {
    Json body = Json::parse(response.body, nullptr, false);
    if (body.is_object() && body.contains("errCode") && body["errCode"].is_number_integer()) {
      err_code = body["errCode"].get<std::int64_t>();
    }
  }
  std::lock_guard<std::mutex> lock(m_);
  Exchange& x = exchange_for(request);
  x.failed = false;
  x.status = response.status;
  if (response.status <= 201) {
    x.accepted = true;
    x.err_code = err_code;
    if (err_code == 0 && x.path == SpiderDriver::kStatisticsDownloadPath) {
      ++pages_;
      if (on_page_) on_page_(pages_);
    }
  }
  return response;
}

std::optional<PlatformWatch::Problem> PlatformWatch::problem(std::string_view account) const {
  std::lock_guard<std::mutex> lock(m_);
  const std::string origin = platform_origin();
  for (const auto& key : order_) {
    const Exchange& x = exchanges_.at(key);
    if (x.failed) {
      return Problem{5, "cannot reach the platform at " + origin + ": " + x.failure};
    }
    if (x.status > 201) {
      return Problem{6, "the platform at " + origin + " answered HTTP " + std::to_string(x.status) + " to " +
                            what_was_asked(x.path) + " on every attempt"};
    }
    if (!x.err_code || *x.err_code == 0) continue;
    const std::int64_t code = *x.err_code;
    if (code == 300334) {
      return Problem{6, "the platform no longer accepts the stored login for account " + std::string(account) +
                            " (the session has expired); run qelkit login"};
    }
    if (is_busy(code)) {
      return Problem{6, "the platform stayed busy and did not serve " + what_was_asked(x.path) +
                            "; try again later"};
    }
    return Problem{6, "the platform refused " + what_was_asked(x.path) + " (errCode " + std::to_string(code) + ")"};
  }
  return std::nullopt;
}

}  // namespace qelkit::cli
