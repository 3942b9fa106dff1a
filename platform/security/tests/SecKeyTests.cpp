#include "platform/security/SecCertificate.hpp"
#include "platform/security/SecKey.hpp"

#include "platform/security/tests/TestCertificates.hpp"

#include <gtest/gtest.h>

#include <openssl/pem.h>

namespace plat {
namespace {

TEST(SecKey, RSAKeysRoundTripThroughPKCS1) {
    const auto priv = SecKey::generateRSA(2048);
    ASSERT_TRUE(priv);
    EXPECT_EQ(priv->keyClass(), SecKeyClass::privateKey);
    EXPECT_EQ(priv->sizeInBits(), 2048);
    EXPECT_EQ(priv->blockSize(), 256u);
    const auto pub = priv->copyPublicKey();
    ASSERT_TRUE(pub);
    EXPECT_EQ(pub->keyClass(), SecKeyClass::publicKey);

    const auto pubDer = pub->copyExternalRepresentation();
    const auto privDer = priv->copyExternalRepresentation();
    ASSERT_TRUE(pubDer && privDer);
    // PKCS#1 RSAPublicKey is a SEQUENCE of two INTEGERs; SubjectPublicKeyInfo would start with another
    // SEQUENCE.
    EXPECT_EQ((*pubDer)[0], 0x30);
    EXPECT_NE((*pubDer)[(*pubDer)[1] & 0x80 ? 2 + ((*pubDer)[1] & 0x7f) : 2], 0x30);

    const auto pubBack = SecKey::createWithData(*pubDer, SecKeyType::rsa, SecKeyClass::publicKey);
    const auto privBack = SecKey::createWithData(*privDer, SecKeyType::rsa, SecKeyClass::privateKey);
    ASSERT_TRUE(pubBack && privBack);
    EXPECT_EQ(*pubBack, *pub);
    EXPECT_EQ(*privBack, *priv);
    EXPECT_EQ(pubBack->copyExternalRepresentation(), pubDer);
    EXPECT_EQ(*privBack->copyPublicKey(), *pub);

    const auto other = SecKey::generateRSA(1024);
    EXPECT_NE(*other->copyPublicKey(), *pub);
    EXPECT_NE(*priv, *pub);
}

TEST(SecKey, RefusesMalformedData) {
    const auto der = *SecKey::generateRSA(1024)->copyPublicKey()->copyExternalRepresentation();
    auto trailing = der;
    trailing.push_back(0);
    auto truncated = der;
    truncated.resize(der.size() / 2);
    EXPECT_FALSE(SecKey::createWithData(trailing, SecKeyType::rsa, SecKeyClass::publicKey));
    EXPECT_FALSE(SecKey::createWithData(truncated, SecKeyType::rsa, SecKeyClass::publicKey));
    EXPECT_FALSE(SecKey::createWithData({}, SecKeyType::rsa, SecKeyClass::publicKey));
    EXPECT_FALSE(SecKey::createWithData(der, SecKeyType::rsa, SecKeyClass::privateKey));
    EXPECT_FALSE(SecKey::generateRSA(256));
}

TEST(SecKey, ECPublicKeysAsPoints) {
    const auto source = testcerts::makeKey(true);
    const auto key = SecKey::fromPublicKey(source.get());
    ASSERT_TRUE(key);
    const auto point = key->copyExternalRepresentation();
    ASSERT_TRUE(point);
    EXPECT_EQ(point->size(), 65u);
    EXPECT_EQ((*point)[0], 0x04);
    const auto back = SecKey::createWithData(*point, SecKeyType::ec, SecKeyClass::publicKey);
    ASSERT_TRUE(back);
    EXPECT_EQ(*back, *key);
    auto offCurve = *point;
    offCurve[64] ^= 1;
    EXPECT_FALSE(SecKey::createWithData(offCurve, SecKeyType::ec, SecKeyClass::publicKey));
}

TEST(SecCertificate, DEROnly) {
    const auto root = testcerts::issue("Summary Root", nullptr, true, {}, true);
    const auto cert = root.sec();
    const auto der = cert->copyData();
    const auto back = SecCertificate::createWithData(der);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->copyData(), der);
    EXPECT_EQ(back->subjectSummary(), "Summary Root");

    BIO* bio = BIO_new(BIO_s_mem());
    PEM_write_bio_X509(bio, root.cert.get());
    char* pemData = nullptr;
    const long len = BIO_get_mem_data(bio, &pemData);
    const std::vector<std::uint8_t> pem(pemData, pemData + len);
    BIO_free(bio);
    EXPECT_FALSE(SecCertificate::createWithData(pem));
    auto trailing = der;
    trailing.push_back(0);
    EXPECT_FALSE(SecCertificate::createWithData(trailing));
    EXPECT_FALSE(SecCertificate::createWithData({}));
}

} // namespace
} // namespace plat
