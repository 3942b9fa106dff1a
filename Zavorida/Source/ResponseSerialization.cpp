#include "Zavorida/Source/ResponseSerialization.hpp"

#include "platform/foundation/FileManager.hpp"
#include "platform/foundation/Json.hpp"
#include "platform/foundation/PropertyList.hpp"
#include "platform/net/HTTPURLResponse.hpp"

namespace Zavorida {

namespace {

using SerializationReason = ZVError::ResponseSerializationFailureReason;

bool hasEmptyStatus(const HTTPResponsePtr& response) {
    return response && emptyResponseStatusCodes().contains(response->statusCode());
}

template <class Value> Result<Value> serializationFailure(SerializationReason reason) {
    return Result<Value>::failure(ZVError::responseSerializationFailed(std::move(reason)));
}

// Reads a downloaded file whole and hands its bytes to the body rule; the read error itself is not kept.
template <class Value, class Rule>
Result<Value> serializeDownload(const HTTPResponsePtr& response, const std::optional<plat::URL>& fileURL,
                                const std::optional<AnyError>& error, Rule&& rule) {
    if (error) {
        return Result<Value>::failure(*error);
    }
    if (!fileURL) {
        return serializationFailure<Value>(SerializationReason::inputFileNil());
    }
    // Only local files are read; any other URL is a file that cannot be read, never a network fetch.
    if (!fileURL->isFileURL()) {
        return serializationFailure<Value>(SerializationReason::inputFileReadFailed(*fileURL));
    }
    auto bytes = plat::readData(fileURL->path());
    if (!bytes.ok()) {
        return serializationFailure<Value>(SerializationReason::inputFileReadFailed(*fileURL));
    }
    return rule(response, std::optional<plat::Data>(std::move(bytes).value()), std::nullopt);
}

// Out of line: GCC 12 misreads the move of a fresh null Value into the result as a read of uninitialised
// storage when this is inlined.
[[gnu::noinline]] Result<plat::Value> emptyValueResult() {
    const plat::Value null;
    return Result<plat::Value>::success(null);
}

} // namespace

const std::unordered_set<int>& emptyResponseStatusCodes() {
    static const std::unordered_set<int> codes{204, 205};
    return codes;
}

Result<plat::Data> ResponseBodyRules::serializeAsData(const HTTPResponsePtr& response,
                                                      const std::optional<plat::Data>& data,
                                                      const std::optional<AnyError>& error) {
    if (error) {
        return Result<plat::Data>::failure(*error);
    }
    if (hasEmptyStatus(response)) {
        return Result<plat::Data>::success({});
    }
    if (data) {
        return Result<plat::Data>::success(*data);
    }
    return serializationFailure<plat::Data>(SerializationReason::inputDataNil());
}

Result<std::string> ResponseBodyRules::serializeAsString(std::optional<plat::StringEncoding> encoding,
                                                         const HTTPResponsePtr& response,
                                                         const std::optional<plat::Data>& data,
                                                         const std::optional<AnyError>& error) {
    if (error) {
        return Result<std::string>::failure(*error);
    }
    if (hasEmptyStatus(response)) {
        return Result<std::string>::success({});
    }
    if (!data) {
        return serializationFailure<std::string>(SerializationReason::inputDataNil());
    }
    plat::StringEncoding chosen = plat::ISOLatin1StringEncoding;
    if (encoding) {
        chosen = *encoding;
    } else if (response) {
        if (const auto name = response->textEncodingName()) {
            // An unknown name gives the invalid encoding, which then fails to decode and is reported.
            chosen = plat::Encoding::encodingForIANAName(*name);
        }
    }
    auto text = plat::Encoding::decode(*data, chosen);
    if (!text) {
        return serializationFailure<std::string>(SerializationReason::stringSerializationFailed(chosen));
    }
    return Result<std::string>::success(std::move(*text));
}

Result<plat::Value> ResponseBodyRules::serializeAsJSON(unsigned options, const HTTPResponsePtr& response,
                                                       const std::optional<plat::Data>& data,
                                                       const std::optional<AnyError>& error) {
    if (error) {
        return Result<plat::Value>::failure(*error);
    }
    if (hasEmptyStatus(response)) {
        return emptyValueResult();
    }
    if (!data || data->empty()) {
        return serializationFailure<plat::Value>(SerializationReason::inputDataNilOrZeroLength());
    }
    auto parsed = plat::JSONSerialization::jsonObject(std::span<const std::uint8_t>(*data), options);
    if (!parsed.ok()) {
        return serializationFailure<plat::Value>(SerializationReason::jsonSerializationFailed(parsed.error()));
    }
    return Result<plat::Value>::success(std::move(parsed).value());
}

Result<plat::Value> ResponseBodyRules::serializeAsPropertyList(unsigned options,
                                                               const HTTPResponsePtr& response,
                                                               const std::optional<plat::Data>& data,
                                                               const std::optional<AnyError>& error) {
    if (error) {
        return Result<plat::Value>::failure(*error);
    }
    if (hasEmptyStatus(response)) {
        return emptyValueResult();
    }
    if (!data || data->empty()) {
        return serializationFailure<plat::Value>(SerializationReason::inputDataNilOrZeroLength());
    }
    auto parsed =
        plat::PropertyListSerialization::propertyList(std::span<const std::uint8_t>(*data), options);
    if (!parsed.ok()) {
        return serializationFailure<plat::Value>(SerializationReason::propertyListSerializationFailed(parsed.error()));
    }
    return Result<plat::Value>::success(std::move(parsed).value().value);
}

DataResponseSerializer<plat::Data> DataSerializerFactories::makeDataSerializer() {
    return DataResponseSerializer<plat::Data>(
        [](const auto&, const auto& response, const auto& data, const auto& error) {
            return ResponseBodyRules::serializeAsData(response, data, error);
        });
}

DataResponseSerializer<std::string>
DataSerializerFactories::makeStringSerializer(std::optional<plat::StringEncoding> encoding) {
    return DataResponseSerializer<std::string>(
        [encoding](const auto&, const auto& response, const auto& data, const auto& error) {
            return ResponseBodyRules::serializeAsString(encoding, response, data, error);
        });
}

DataResponseSerializer<plat::Value> DataSerializerFactories::makeJSONSerializer(unsigned options) {
    return DataResponseSerializer<plat::Value>(
        [options](const auto&, const auto& response, const auto& data, const auto& error) {
            return ResponseBodyRules::serializeAsJSON(options, response, data, error);
        });
}

DataResponseSerializer<plat::Value> DataSerializerFactories::makePropertyListSerializer(unsigned options) {
    return DataResponseSerializer<plat::Value>(
        [options](const auto&, const auto& response, const auto& data, const auto& error) {
            return ResponseBodyRules::serializeAsPropertyList(options, response, data, error);
        });
}

DownloadResponseSerializer<plat::Data> DownloadSerializerFactories::makeDataSerializer() {
    return DownloadResponseSerializer<plat::Data>([](const auto&, const auto& response, const auto& fileURL,
                                                     const auto& error) {
        return serializeDownload<plat::Data>(response, fileURL, error, &ResponseBodyRules::serializeAsData);
    });
}

DownloadResponseSerializer<std::string>
DownloadSerializerFactories::makeStringSerializer(std::optional<plat::StringEncoding> encoding) {
    return DownloadResponseSerializer<std::string>(
        [encoding](const auto&, const auto& response, const auto& fileURL, const auto& error) {
            return serializeDownload<std::string>(
                response, fileURL, error, [encoding](const auto& r, const auto& d, const auto& e) {
                    return ResponseBodyRules::serializeAsString(encoding, r, d, e);
                });
        });
}

DownloadResponseSerializer<plat::Value> DownloadSerializerFactories::makeJSONSerializer(unsigned options) {
    return DownloadResponseSerializer<plat::Value>([options](const auto&, const auto& response,
                                                             const auto& fileURL, const auto& error) {
        return serializeDownload<plat::Value>(response, fileURL, error,
                                              [options](const auto& r, const auto& d, const auto& e) {
                                                  return ResponseBodyRules::serializeAsJSON(options, r, d, e);
                                              });
    });
}

DownloadResponseSerializer<plat::Value>
DownloadSerializerFactories::makePropertyListSerializer(unsigned options) {
    return DownloadResponseSerializer<plat::Value>(
        [options](const auto&, const auto& response, const auto& fileURL, const auto& error) {
            return serializeDownload<plat::Value>(
                response, fileURL, error, [options](const auto& r, const auto& d, const auto& e) {
                    return ResponseBodyRules::serializeAsPropertyList(options, r, d, e);
                });
        });
}

} // namespace Zavorida
