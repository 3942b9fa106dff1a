#include "platform/security/SecCertificate.hpp"

#include <openssl/objects.h>

namespace plat {
namespace {

std::string nameEntry(X509_NAME* name, int nid) {
    const int index = X509_NAME_get_index_by_NID(name, nid, -1);
    if (index < 0) {
        return {};
    }
    ASN1_STRING* data = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, index));
    unsigned char* utf8 = nullptr;
    const int len = ASN1_STRING_to_UTF8(&utf8, data);
    if (len < 0) {
        return {};
    }
    std::string text(reinterpret_cast<char*>(utf8), static_cast<std::size_t>(len));
    OPENSSL_free(utf8);
    return text;
}

} // namespace

std::shared_ptr<SecCertificate> SecCertificate::createWithData(const std::vector<std::uint8_t>& der) {
    if (der.empty()) {
        return nullptr;
    }
    const unsigned char* p = der.data();
    ossl::X509Ptr cert(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
    if (!cert || p != der.data() + der.size()) {
        return nullptr;
    }
    return std::shared_ptr<SecCertificate>(new SecCertificate(std::move(cert)));
}

std::shared_ptr<SecCertificate> SecCertificate::fromX509(X509* cert) {
    if (!cert || X509_up_ref(cert) != 1) {
        return nullptr;
    }
    return std::shared_ptr<SecCertificate>(new SecCertificate(ossl::X509Ptr(cert)));
}

std::vector<std::uint8_t> SecCertificate::copyData() const {
    const int len = i2d_X509(cert_.get(), nullptr);
    if (len <= 0) {
        return {};
    }
    std::vector<std::uint8_t> out(static_cast<std::size_t>(len));
    unsigned char* p = out.data();
    i2d_X509(cert_.get(), &p);
    return out;
}

std::string SecCertificate::subjectSummary() const {
    X509_NAME* subject = X509_get_subject_name(cert_.get());
    if (!subject) {
        return {};
    }
    for (int nid : {NID_commonName, NID_organizationName}) {
        if (auto text = nameEntry(subject, nid); !text.empty()) {
            return text;
        }
    }
    char buffer[512];
    X509_NAME_oneline(subject, buffer, sizeof buffer);
    return buffer;
}

bool operator==(const SecCertificate& a, const SecCertificate& b) {
    return X509_cmp(a.x509(), b.x509()) == 0;
}

} // namespace plat
