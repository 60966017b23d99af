#pragma once

#include <cstdint>
#include <memory>

// A measurement scheme: how much of a tetrahedron, triangle or segment lies in a medium.
class SubpixelScheme {
public:
    virtual ~SubpixelScheme() = default;
};

class VolumeScheme : public SubpixelScheme {};
class FaceScheme : public SubpixelScheme {};
class EdgeScheme : public SubpixelScheme {};
class FineFaceScheme : public SubpixelScheme {};

// The run's scheme selector (0, 1 or 2) and its four scheme objects.
struct SchemeSet {
    int32_t subpixel_scheme = 0;
    std::unique_ptr<VolumeScheme> volume;
    std::unique_ptr<FaceScheme> face;
    std::unique_ptr<EdgeScheme> edge;
    std::unique_ptr<FineFaceScheme> fine_face;

    SchemeSet() = default;
    SchemeSet(SchemeSet&&) = default;
    SchemeSet& operator=(SchemeSet&&) = default;
    // Destroys the schemes in reverse order of creation.
    ~SchemeSet() {
        fine_face.reset();
        edge.reset();
        face.reset();
        volume.reset();
    }
};

// Builds the four schemes, in the order volume, face, edge, fine face.
SchemeSet make_scheme_set(int32_t subpixel_scheme);
