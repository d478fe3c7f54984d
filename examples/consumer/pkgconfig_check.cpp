// Built with nothing but `pkg-config --cflags --libs idxreports`: the installed
// headers compile and the installed library links and runs.
#include <cstdio>
#include <string>

#include <IdxReports/Reports/LogicalDiskReport.h>
#include <platform/QiCRC64.h>

int main() {
    CQiCRC64 crc;
    const std::string check = "123456789";
    crc.UpdateCRC64(check.data(), check.size());
    if (crc.GetCRC64() != 0x995DC9BBDF1939FAull) {
        std::fprintf(stderr, "pkgconfig_check: wrong CRC-64\n");
        return 1;
    }
    const std::string name = I2::LogicalDiskReport::GetFileName("/mnt/disk");
    if (name.rfind("IndexCacheStats_", 0) != 0) {
        std::fprintf(stderr, "pkgconfig_check: unexpected file name %s\n", name.c_str());
        return 1;
    }
    std::printf("pkgconfig_check: %s\n", name.c_str());
    return 0;
}
