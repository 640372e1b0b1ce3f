#include <gtest/gtest.h>

#include "platform/linux/LinuxHardwareIdentity.h"
#include "support/TestSupport.h"

namespace tarvo::platform {
namespace {

TEST(LinuxHardwareIdentity, ProductUuidFirstThenMachineIdShapedAsUuid) {
    struct Case {
        std::optional<std::string> product, machine, want;
    };
    const Case cases[] = {
        {"4c4c4544-0042-3510-8052-b4c04f4e4e32\n", "0123456789abcdef0123456789abcdef\n",
         "4C4C4544-0042-3510-8052-B4C04F4E4E32"},
        {std::nullopt, "0123456789abcdef0123456789abcdef\n",
         "01234567-89AB-CDEF-0123-456789ABCDEF"},
        // Unset or placeholder product ids fall through to the machine id.
        {"00000000-0000-0000-0000-000000000000\n", "0123456789abcdef0123456789abcdef",
         "01234567-89AB-CDEF-0123-456789ABCDEF"},
        {"not a uuid", "0123456789abcdef0123456789abcdef", "01234567-89AB-CDEF-0123-456789ABCDEF"},
        {std::nullopt, "short", std::nullopt},
        {std::nullopt, "", std::nullopt},
        {std::nullopt, std::nullopt, std::nullopt},
    };
    for (const auto& c : cases) {
        test::TempDir dir;
        if (c.product) test::writeText(dir / "product_uuid", *c.product);
        if (c.machine) test::writeText(dir / "machine-id", *c.machine);
        LinuxHardwareIdentity id(dir / "product_uuid", dir / "machine-id");
        EXPECT_EQ(id.platformUuid(), c.want)
            << c.product.value_or("-") << " / " << c.machine.value_or("-");
    }
}

TEST(LinuxHostInfo, HostNameIsTheKernelsHostName) {
    char buf[256] = {};
    gethostname(buf, sizeof buf - 1);
    EXPECT_EQ(LinuxHostInfo().hostName(), buf);
}

}  // namespace
}  // namespace tarvo::platform
