#include "spec/medium.h"

#include "common/internal_error.h"

Medium::Medium(std::size_t n, ComponentKind kind) : kinds{kind, kind, kind}, eps_inf(n, 1.0f), sigma(n, 0.0f) {
    if (kinds[0] == ComponentKind::Invalid || kinds[1] == ComponentKind::Invalid || kinds[2] == ComponentKind::Invalid)
        internal_error();
    if (kinds[0] == ComponentKind::FullyAnisotropic && (!all_kinds(ComponentKind::FullyAnisotropic) || n != 9))
        internal_error();
    if (kinds[0] == ComponentKind::Custom && !all_kinds(ComponentKind::Custom)) internal_error();
}

int32_t Medium::spatial_index(int32_t, int32_t, int32_t) const { return 0; }
