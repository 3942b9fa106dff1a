#pragma once
// NSURLErrorDomain codes and the errors URL loading reports: the device's description texts, the failing URL
// in the user info and the transport's own code as the underlying error (domain "plat.curl").

#include "platform/foundation/Error.hpp"
#include "platform/net/URL.hpp"
#include "platform/net/WireTransport.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace plat {

inline constexpr int64_t NSURLErrorUnknown = -1;
inline constexpr int64_t NSURLErrorCancelled = -999;
inline constexpr int64_t NSURLErrorBadURL = -1000;
inline constexpr int64_t NSURLErrorTimedOut = -1001;
inline constexpr int64_t NSURLErrorUnsupportedURL = -1002;
inline constexpr int64_t NSURLErrorCannotFindHost = -1003;
inline constexpr int64_t NSURLErrorCannotConnectToHost = -1004;
inline constexpr int64_t NSURLErrorNetworkConnectionLost = -1005;
inline constexpr int64_t NSURLErrorHTTPTooManyRedirects = -1007;
inline constexpr int64_t NSURLErrorNotConnectedToInternet = -1009;
inline constexpr int64_t NSURLErrorBadServerResponse = -1011;
inline constexpr int64_t NSURLErrorUserCancelledAuthentication = -1012;
inline constexpr int64_t NSURLErrorUserAuthenticationRequired = -1013;
inline constexpr int64_t NSURLErrorCannotDecodeContentData = -1016;
inline constexpr int64_t NSURLErrorRequestBodyStreamExhausted = -1021;
inline constexpr int64_t NSURLErrorFileDoesNotExist = -1100;
inline constexpr int64_t NSURLErrorDataLengthExceedsMaximum = -1103;
inline constexpr int64_t NSURLErrorSecureConnectionFailed = -1200;
inline constexpr int64_t NSURLErrorServerCertificateUntrusted = -1202;
inline constexpr int64_t NSURLErrorCannotCreateFile = -3000;
inline constexpr int64_t NSURLErrorCannotWriteToFile = -3003;

// Domain of the underlying transport error.
inline constexpr const char* PlatCurlErrorDomain = "plat.curl";

namespace URLError {

// The device's localized description for a code; `host` fills the texts that name the server.
std::string localizedDescription(int64_t code, std::string_view host = {});

// An NSURLErrorDomain error with the description and, when known, the failing URL under both keys.
Error make(int64_t code, const std::optional<URL>& failingURL,
           std::optional<int> transportCode = std::nullopt, Dictionary extraUserInfo = {});

// The NSURLErrorDomain code for a transport outcome.
int64_t codeFor(WireFailure failure);

} // namespace URLError

} // namespace plat
