#include <gtest/gtest.h>

#include "platform/linux/LinuxHardwareIdentity.h"
#include "support/TestSupport.h"

namespace tarvo::platform {
namespace {

TEST(LinuxHardwareIdentity, ProductUuidFirstThenMachineIdShapedAsUuid) {
    const std::string machine = "0123456789abcdef0123456789abcdef";
    const std::string shaped = "01234567-89AB-CDEF-0123-456789ABCDEF";
    const std::tuple<std::optional<std::string>, std::optional<std::string>,
                     std::optional<std::string>>
        cases[] = {
            {"4c4c4544-0042-3510-8052-b4c04f4e4e32\n", machine + "\n",
             "4C4C4544-0042-3510-8052-B4C04F4E4E32"},
            {std::nullopt, machine + "\n", shaped},
            // Unset or placeholder product ids fall through to the machine id.
            {"00000000-0000-0000-0000-000000000000\n", machine, shaped},
            {"not a uuid", machine, shaped},
            {std::nullopt, "short", std::nullopt},
            {std::nullopt, std::nullopt, std::nullopt},
        };
    for (const auto& [product, machineId, want] : cases) {
        test::TempDir dir;
        if (product) test::writeText(dir / "product_uuid", *product);
        if (machineId) test::writeText(dir / "machine-id", *machineId);
        EXPECT_EQ(LinuxHardwareIdentity(dir / "product_uuid", dir / "machine-id").platformUuid(),
                  want)
            << product.value_or("-") << " / " << machineId.value_or("-");
    }
}

}  // namespace
}  // namespace tarvo::platform
