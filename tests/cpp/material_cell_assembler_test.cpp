#include <gtest/gtest.h>

#include "common/coefficient_set.h"
#include "common/medium_index.h"
#include "material/cell_assembler.h"
#include "material/medium_response.h"
#include "material_fixtures.h"
#include "subpixel/cell_samples.h"

using namespace material_test;

namespace {

constexpr const char* INTERNAL_ERROR = "An internal error has occured";

// A subdomain of 2 x 3 x 4 cells starting at global cell (10, 20, 30), two frequencies, and one
// dispersive medium, with the blocks initialised as the compute driver does.
class CellAssemblerTest : public ::testing::Test {
protected:
    CellAssemblerTest() {
        auto medium = isotropic(1.0f);
        medium->poles[0].push_back(lorentz_pole());
        spec = spec_with({medium});
        spec.has_pmc = true;
        coefficients.resize(freqs.size());
        for (FrequencyBlock& block : coefficients) {
            block.nx = 2;
            block.ny = 3;
            block.nz = 4;
            block.cells.assign(24, CellCoefficients::identity());
        }
    }

    // Ex in medium 0, Hz in a magnetic conductor.
    static CellSamples dispersive_cell() {
        CellSamples samples;
        samples.electric(0).medium_a = 0;
        samples.magnetic(2).medium_a = MEDIUM_INDEX_PMC;
        return samples;
    }

    SimulationSpec spec;
    std::vector<float> freqs = {1e14f, 2e14f};
    CoefficientSet coefficients;
};

}  // namespace

TEST_F(CellAssemblerTest, StoresEveryFrequencyAtTheLocalCell) {
    CellAssembler assembler(spec, freqs, coefficients, 10, 20, 30);
    ASSERT_TRUE(assembler.magnetic_pass());
    assembler.assemble(11, 22, 33, dispersive_cell());  // local (1, 2, 3): (1*3 + 2)*4 + 3 = 23
    assembler.assemble(10, 20, 30, dispersive_cell());  // local (0, 0, 0)

    for (std::size_t f = 0; f < freqs.size(); ++f) {
        SCOPED_TRACE(f);
        const C expected = eps_component(*spec.media[0], freqs[f], 0, 11, 22, 33);
        for (std::size_t cell = 0; cell < 24; ++cell) {
            const auto& values = coefficients[f].cells[cell].values;
            if (cell == 23 || cell == 0) {
                EXPECT_EQ(values[0], expected) << cell;
                EXPECT_EQ(values[17], C(PERFECT_CONDUCTOR_MARK, 0)) << cell;
                EXPECT_EQ(values[4], C(1, 0)) << cell;
            } else {
                EXPECT_EQ(values, CellCoefficients::identity().values) << cell;
            }
        }
    }
    // The blocks hold each frequency's own value.
    EXPECT_NEAR(coefficients[0].cells[23].values[0].real(), 2.43391f, 2e-4f);
    EXPECT_NE(coefficients[0].cells[23].values[0], coefficients[1].cells[23].values[0]);
}

TEST_F(CellAssemblerTest, MagneticRecordsNeedConductorsInTheSpecification) {
    spec.has_pmc = false;
    CellAssembler assembler(spec, freqs, coefficients, 10, 20, 30);
    EXPECT_FALSE(assembler.magnetic_pass());
    assembler.assemble(11, 20, 30, dispersive_cell());
    for (const FrequencyBlock& block : coefficients) EXPECT_EQ(block.cells[12].values[17], C(1, 0));

    spec.has_conformal_metal = true;
    EXPECT_TRUE(CellAssembler(spec, freqs, coefficients, 10, 20, 30).magnetic_pass());
}

TEST_F(CellAssemblerTest, NoFrequenciesStoreNothing) {
    const std::vector<float> none;
    CoefficientSet empty;
    CellAssembler assembler(spec, none, empty, 10, 20, 30);
    assembler.assemble(11, 22, 33, dispersive_cell());
    EXPECT_TRUE(empty.empty());
}

using CellAssemblerDeathTest = CellAssemblerTest;

TEST_F(CellAssemblerDeathTest, CellsOutsideTheSpanAndFailAreInternalErrors) {
    CellAssembler assembler(spec, freqs, coefficients, 10, 20, 30);
    const int64_t outside[][3] = {{9, 20, 30}, {12, 20, 30}, {10, 19, 30}, {10, 23, 30}, {10, 20, 29}, {10, 20, 34},
                                  {int64_t(1) << 40, 20, 30}};
    for (const auto& cell : outside) {
        SCOPED_TRACE(testing::Message() << cell[0] << ", " << cell[1] << ", " << cell[2]);
        EXPECT_EXIT(assembler.assemble(cell[0], cell[1], cell[2], dispersive_cell()), ::testing::ExitedWithCode(1),
                    INTERNAL_ERROR);
    }
    EXPECT_EXIT(assembler.fail(), ::testing::ExitedWithCode(1), INTERNAL_ERROR);

    // A coefficient set that lacks a block for some frequency.
    coefficients.pop_back();
    CellAssembler short_set(spec, freqs, coefficients, 10, 20, 30);
    EXPECT_EXIT(short_set.assemble(10, 20, 30, dispersive_cell()), ::testing::ExitedWithCode(1), INTERNAL_ERROR);
}
