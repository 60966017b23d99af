#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <hdf5.h>

#include "driver/coefficient_output.h"
#include "driver/grid.h"

namespace {

TEST(Grid, DualsAreCellCentresAfterAVirtualCellAsWideAsTheLast) {
    const Grid grid = make_grid({std::vector<float>{0, 1, 3}, std::vector<float>{-1, 1}, std::vector<float>{0.1f, 0.2f, 0.4f, 0.7f}});
    EXPECT_EQ(grid.cell_count[0], 2);
    EXPECT_EQ(grid.cell_count[1], 1);
    EXPECT_EQ(grid.cell_count[2], 3);
    EXPECT_EQ(grid.duals[0], (std::vector<float>{-1.0f, 0.5f, 2.0f}));
    EXPECT_EQ(grid.duals[1], (std::vector<float>{-2.0f, 0.0f}));
    // Each dual is rounded once from the double-precision value of the float inputs.
    const std::vector<float>& b = grid.boundaries[2];
    EXPECT_EQ(grid.duals[2][0], static_cast<float>(double(b[0]) - (0.5 * double(b[3]) - 0.5 * double(b[2]))));
    EXPECT_EQ(grid.duals[2][2], static_cast<float>(0.5 * double(b[2]) + 0.5 * double(b[1])));
}

TEST(GridDeathTest, AnAxisNeedsTwoCoordinates) {
    EXPECT_EXIT(make_grid({std::vector<float>{0, 1}, std::vector<float>{0}, std::vector<float>{0, 1}}),
                ::testing::ExitedWithCode(1), "An internal error has occured");
    EXPECT_EXIT(make_grid({std::vector<float>{0, 1}, std::vector<float>{0, 1}, std::vector<float>{}}),
                ::testing::ExitedWithCode(1), "An internal error has occured");
}

// Writes a 2 x 3 x 4 subdomain with 5 frequencies whose every value encodes its position, and
// reads it back with the library.
class CoefficientOutput : public ::testing::Test {
protected:
    void SetUp() override {
        path_ = (std::filesystem::temp_directory_path() /
                 ("coefficient_output_" + std::to_string(::getpid()) + ".h5")).string();
    }
    void TearDown() override { std::remove(path_.c_str()); }

    static std::complex<float> encoded(int f, int cell, int position) {
        return {float(f * 10000 + cell * 100 + position), -float(position)};
    }

    std::string path_;
};

TEST_F(CoefficientOutput, ElementOrderIsFrequencyCellComponent) {
    Subdomain subdomain;
    subdomain.name = "block";
    subdomain.span = {10, 12, 0, 3, 5, 9};
    subdomain.freqs = {1, 2, 3, 4, 5};
    CoefficientSet set(5);
    for (int f = 0; f < 5; ++f) {
        set[f].nx = 2;
        set[f].ny = 3;
        set[f].nz = 4;
        set[f].cells.resize(24);
        for (int cell = 0; cell < 24; ++cell)
            for (int position = 0; position < 18; ++position) set[f].cells[cell].values[position] = encoded(f, cell, position);
    }
    {
        H5Handle file = create_output_file(path_.c_str());
        H5Handle group(H5Gcreate2(file.get(), "block", H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT), H5Gclose);
        write_coefficients(group.get(), {subdomain}, "eps", set, 0);
        write_coefficients(group.get(), {subdomain}, "mu", set, 0);
    }

    H5Handle file(H5Fopen(path_.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT), H5Fclose);
    for (const char* name : {"block/eps", "block/mu"}) {
        H5Handle dataset(H5Dopen2(file.get(), name, H5P_DEFAULT), H5Dclose);
        ASSERT_TRUE(dataset.valid());
        H5Handle space(H5Dget_space(dataset.get()), H5Sclose);
        hsize_t dims[5];
        ASSERT_EQ(H5Sget_simple_extent_dims(space.get(), dims, nullptr), 5);
        EXPECT_EQ(std::vector<hsize_t>(dims, dims + 5), (std::vector<hsize_t>{5, 2, 3, 4, 9}));
        std::vector<std::complex<float>> values(5 * 24 * 9);
        ASSERT_GE(H5Dread(dataset.get(), complex_float_type(), H5S_ALL, H5S_ALL, H5P_DEFAULT, values.data()), 0);
        const int offset = std::string(name) == "block/eps" ? 0 : 9;
        // Element [f, 1, 2, 3, c] comes from cell (1*3 + 2)*4 + 3 = 23 of block f.
        EXPECT_EQ(values[((((4 * 2 + 1) * 3 + 2) * 4 + 3) * 9) + 7], encoded(4, 23, offset + 7));
        for (int f = 0; f < 5; ++f)
            for (int cell = 0; cell < 24; ++cell)
                for (int c = 0; c < 9; ++c)
                    ASSERT_EQ(values[(f * 24 + cell) * 9 + c], encoded(f, cell, offset + c)) << name;
    }
}

TEST_F(CoefficientOutput, DeathOnUnwritableDatasets) {
    Subdomain subdomain;
    subdomain.span = {0, 1, 0, 1, 0, 1};
    subdomain.freqs = {1};
    CoefficientSet set(1);
    set[0].nx = set[0].ny = set[0].nz = 1;
    set[0].cells.assign(1, CellCoefficients::identity());
    EXPECT_EXIT(
        {
            H5Handle file = create_output_file(path_.c_str());
            write_coefficients(file.get(), {subdomain}, "eps", set, 0);
            write_coefficients(file.get(), {subdomain}, "eps", set, 0);  // already exists
        },
        ::testing::ExitedWithCode(1), "An internal error has occured");
    EXPECT_EXIT(write_coefficients(-1, {subdomain}, "eps", set, 0), ::testing::ExitedWithCode(1),
                "An internal error has occured");
    EXPECT_EXIT(create_output_file("/nonexistent-directory/out.h5"), ::testing::ExitedWithCode(1),
                "An internal error has occured");
}

}  // namespace
