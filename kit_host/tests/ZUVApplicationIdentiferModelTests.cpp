// The build's identity: read from a universal Mach-O fixture at the executable path, and from this test
// program itself, whose ELF build-id is its one UUID.

#include "kit_host/ZUVApplicationIdentiferModel.hpp"
#include "kit_host/tests/MachOBuilder.hpp"

#include "platform/foundation/FileManager.hpp"
#include "platform/foundation/ProcessImage.hpp"
#include "platform/foundation/Random.hpp"
#include "testing/TempAppHome.hpp"

#include <gtest/gtest.h>

#include <elf.h>
#include <link.h>

#include <cstring>
#include <memory>

namespace {

struct ZUVApplicationIdentiferModelTest : ::testing::Test {
    plat::test::TempAppHome home;
    ~ZUVApplicationIdentiferModelTest() override { plat::sim::ProcessImage::setExecutablePath(std::nullopt); }
};

TEST_F(ZUVApplicationIdentiferModelTest, UniversalExecutable) {
    const std::string path = home.root() + "/App";
    ASSERT_TRUE(plat::writeData(path, machotest::universalApp()));
    plat::sim::ProcessImage::setExecutablePath(path);

    auto model = ZUVApplicationIdentiferModel::initWithInstallID("INSTALL");
    ASSERT_TRUE(model);
    EXPECT_EQ(model->architectureUUIDMap(),
              (std::map<std::string, std::string>{{"arm64", "00112233445566778899aabbccddeeff"},
                                                  {"armv7", "ffeeddccbbaa99887766554433221100"}}));
    EXPECT_EQ(model->minimumSDKString(), "10.3.1");
    EXPECT_EQ(model->builtSDKString(), "11.0.0");
    EXPECT_EQ(model->instanceIdentifier(), "0b456a320d99802056f5a03415ac6ef994c058b9");
    EXPECT_EQ(model->installID(), "INSTALL");
}

TEST_F(ZUVApplicationIdentiferModelTest, AnExecutableThatCannotBeReadGivesNoModel) {
    plat::sim::ProcessImage::setExecutablePath(home.root() + "/missing");
    EXPECT_EQ(ZUVApplicationIdentiferModel::initWithInstallID("x"), nullptr);
}

// The first 16 bytes of this program's build-id, read from its notes in memory rather than from its file.
std::optional<std::string> loadedBuildId() {
    std::optional<std::string> found;
    dl_iterate_phdr(
        [](dl_phdr_info* info, size_t, void* out) -> int {
            auto& result = *static_cast<std::optional<std::string>*>(out);
            for (int i = 0; i < info->dlpi_phnum; ++i) {
                const ElfW(Phdr)& ph = info->dlpi_phdr[i];
                if (ph.p_type != PT_NOTE)
                    continue;
                const auto* at = reinterpret_cast<const uint8_t*>(info->dlpi_addr + ph.p_vaddr);
                const uint8_t* end = at + ph.p_memsz;
                while (at + sizeof(ElfW(Nhdr)) <= end) {
                    const auto* note = reinterpret_cast<const ElfW(Nhdr)*>(at);
                    const uint8_t* name = at + sizeof(ElfW(Nhdr));
                    const uint8_t* desc = name + ((note->n_namesz + 3) & ~3u);
                    if (note->n_type == NT_GNU_BUILD_ID && std::memcmp(name, "GNU", 4) == 0) {
                        char hex[33] = {};
                        for (unsigned b = 0; b < 16 && b < note->n_descsz; ++b)
                            std::snprintf(hex + 2 * b, 3, "%02x", desc[b]);
                        result = hex;
                        return 1;
                    }
                    at = desc + ((note->n_descsz + 3) & ~3u);
                }
            }
            return 1; // the first object is the program itself
        },
        &found);
    return found;
}

TEST_F(ZUVApplicationIdentiferModelTest, ThisProgramIsOneSliceNamedByItsBuildId) {
    const auto buildId = loadedBuildId();
    ASSERT_TRUE(buildId) << "the build links with a build-id";
    auto model = ZUVApplicationIdentiferModel::initWithInstallID(std::nullopt);
    ASSERT_TRUE(model);
    EXPECT_EQ(model->architectureUUIDMap(),
              (std::map<std::string, std::string>{{plat::localArchitecture().name, *buildId}}));
    EXPECT_FALSE(model->minimumSDKString());
    const auto identity = plat::executableIdentity();
    ASSERT_TRUE(identity && identity->slices.size() == 1 && identity->slices[0].uuid);
    char hex[33];
    VZRMachOUUIDString(identity->slices[0].uuid->data(), hex);
    EXPECT_EQ(hex, *buildId);
    EXPECT_EQ(ZUVApplicationIdentiferModel::initWithInstallID(std::nullopt)->instanceIdentifier(),
              model->instanceIdentifier());
}

TEST(ProcessImage, DamagedElfImagesAreNeverReadOutside) {
    auto bytes = plat::readData(plat::executablePath());
    ASSERT_TRUE(bytes);
    // The head of the file holds the header, the program headers and the notes.
    const plat::Data head(bytes->begin(), bytes->begin() + std::min<size_t>(bytes->size(), 4096));
    plat::Random::seed(0xE1F);
    for (int round = 0; round < 3000; ++round) {
        plat::Data image = head;
        image.resize(1 + plat::Random::uniform(static_cast<uint32_t>(image.size())));
        for (uint32_t e = plat::Random::uniform(6); e > 0; --e)
            image[plat::Random::uniform(static_cast<uint32_t>(image.size()))] = static_cast<uint8_t>(plat::Random::u32());
        auto exact = std::make_unique<uint8_t[]>(image.size());
        std::copy(image.begin(), image.end(), exact.get());
        (void)plat::elfIdentity({exact.get(), image.size()});
    }
    EXPECT_FALSE(plat::elfIdentity({head.data(), 3}));
    auto whole = plat::elfIdentity(*bytes);
    ASSERT_TRUE(whole);
    EXPECT_EQ(whole->slices.size(), 1u);
}

} // namespace
