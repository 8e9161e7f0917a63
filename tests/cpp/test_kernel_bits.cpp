// The elliptic kernels and the ring kernel reproduce, bit for bit, the results
// recorded in tests/data/kernel_bits.csv (tools/gen_kernel_bits.cpp), which
// were written before the kernels were restructured for speed.  Any change of
// operation order shows up here as a changed bit pattern.
#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <cstdio>
#include <string>

#include "csv.hpp"
#include "lib/models.hpp"
#include "numeric/elliptic.hpp"

namespace {

using kelvora::numeric::Expected;

Expected<double> evaluate(const std::string& f, double a, double b, double c, double d) {
    namespace nm = kelvora::numeric;
    if (f == "elliprj") return nm::elliprj(a, b, c, d);
    if (f == "elliprf") return nm::elliprf(a, b, c);
    if (f == "elliprd") return nm::elliprd(a, b, c);
    if (f == "elliprc") return nm::elliprc(a, b);
    if (f == "ellippi") return nm::ellippi(a, b);
    if (f == "ellipk") return nm::ellipk(a);
    if (f == "ellipe") return nm::ellipe(a);
    if (f == "heyrovsky") return kelvora::heyrovsky_magnification(a, b, c, d);
    ADD_FAILURE() << "unknown function " << f;
    return 0.0;
}

std::string outcome(const Expected<double>& e) {
    if (!e) return e.error().message;
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(std::bit_cast<std::uint64_t>(*e)));
    return hex;
}

TEST(KernelBits, RecordedResultsAreReproduced) {
    const auto table = kelvora::test::load_csv(kelvora::test::test_data_path("kernel_bits.csv"));
    ASSERT_GE(table.rows.size(), 500u);
    const int f = table.column("function"), result = table.column("result");
    for (std::size_t i = 0; i < table.rows.size(); ++i) {
        const auto& row = table.rows[i];
        const double a = table.number(i, 1), b = table.number(i, 2), c = table.number(i, 3), d = table.number(i, 4);
        EXPECT_EQ(outcome(evaluate(row[static_cast<std::size_t>(f)], a, b, c, d)), row[static_cast<std::size_t>(result)])
            << row[static_cast<std::size_t>(f)] << "(" << row[1] << ", " << row[2] << ", " << row[3] << ", " << row[4]
            << ")";
    }
}

}  // namespace
