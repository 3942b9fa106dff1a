#include "platform/net/URLError.hpp"

namespace plat::URLError {

std::string localizedDescription(int64_t code, std::string_view host) {
    switch (code) {
    case NSURLErrorCancelled:
        return "cancelled";
    case NSURLErrorBadURL:
        return "unsupported URL";
    case NSURLErrorTimedOut:
        return "The request timed out.";
    case NSURLErrorUnsupportedURL:
        return "unsupported URL";
    case NSURLErrorCannotFindHost:
        return "A server with the specified hostname could not be found.";
    case NSURLErrorCannotConnectToHost:
        return "Could not connect to the server.";
    case NSURLErrorNetworkConnectionLost:
        return "The network connection was lost.";
    case NSURLErrorHTTPTooManyRedirects:
        return "too many HTTP redirects";
    case NSURLErrorNotConnectedToInternet:
        return "The Internet connection appears to be offline.";
    case NSURLErrorBadServerResponse:
        return "bad server response";
    case NSURLErrorUserCancelledAuthentication:
        return "cancelled";
    case NSURLErrorUserAuthenticationRequired:
        return "The user name or password is incorrect.";
    case NSURLErrorCannotDecodeContentData:
        return "cannot decode content data";
    case NSURLErrorRequestBodyStreamExhausted:
        return "request body stream exhausted";
    case NSURLErrorFileDoesNotExist:
        return "The requested URL was not found on this server.";
    case NSURLErrorDataLengthExceedsMaximum:
        return "resource exceeds maximum size";
    case NSURLErrorSecureConnectionFailed:
        return "An SSL error has occurred and a secure connection to the server cannot be made.";
    case NSURLErrorServerCertificateUntrusted:
        return "The certificate for this server is invalid. You might be connecting to a server that is "
               "pretending "
               "to be \u201c" +
               std::string(host) + "\u201d which could put your confidential information at risk.";
    case NSURLErrorCannotCreateFile:
        return "cannot create file";
    case NSURLErrorCannotWriteToFile:
        return "cannot write to file";
    default:
        return "unknown error";
    }
}

Error make(int64_t code, const std::optional<URL>& failingURL, std::optional<int> transportCode,
           Dictionary extraUserInfo) {
    Dictionary info = std::move(extraUserInfo);
    std::string host;
    if (failingURL)
        host = failingURL->host().value_or("");
    info.set(NSLocalizedDescriptionKey, Value(localizedDescription(code, host)));
    if (failingURL) {
        // The URL object travels as its text: values hold no URL kind, and readers compare the text.
        info.set(NSURLErrorFailingURLErrorKey, Value(failingURL->absoluteString()));
        info.set(NSURLErrorFailingURLStringErrorKey, Value(failingURL->absoluteString()));
    }
    std::shared_ptr<const Error> underlying;
    if (transportCode && *transportCode != 0) {
        underlying = std::make_shared<const Error>(PlatCurlErrorDomain, *transportCode);
    }
    return Error(NSURLErrorDomain, code, std::move(info), std::move(underlying));
}

int64_t codeFor(WireFailure failure) {
    switch (failure) {
    case WireFailure::none:
        return 0;
    case WireFailure::cancelled:
        return NSURLErrorCancelled;
    case WireFailure::badURL:
        return NSURLErrorBadURL;
    case WireFailure::unsupportedScheme:
        return NSURLErrorUnsupportedURL;
    case WireFailure::cannotFindHost:
        return NSURLErrorCannotFindHost;
    case WireFailure::cannotConnect:
        return NSURLErrorCannotConnectToHost;
    case WireFailure::timedOut:
        return NSURLErrorTimedOut;
    case WireFailure::connectionLost:
        return NSURLErrorNetworkConnectionLost;
    case WireFailure::badServerResponse:
        return NSURLErrorBadServerResponse;
    case WireFailure::badContentEncoding:
        return NSURLErrorCannotDecodeContentData;
    case WireFailure::sslConnect:
        return NSURLErrorSecureConnectionFailed;
    case WireFailure::serverCertificateUntrusted:
        return NSURLErrorServerCertificateUntrusted;
    case WireFailure::sendFailed:
        return NSURLErrorRequestBodyStreamExhausted;
    case WireFailure::tooLarge:
        return NSURLErrorDataLengthExceedsMaximum;
    case WireFailure::notConnected:
        return NSURLErrorNotConnectedToInternet;
    case WireFailure::other:
        return NSURLErrorUnknown;
    }
    return NSURLErrorUnknown;
}

} // namespace plat::URLError
