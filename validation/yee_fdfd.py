"""Frequency-domain eigen solver on a periodic Yee grid.

Fields live where the coefficient file puts their material values: E_c of cell (i, j, k) at the
cell's lower corner shifted by half a cell along c (eps[..., c, c] belongs to it), H_c at the
corner shifted by half a cell along the two other axes (mu[..., c, c]). The curl of E is taken
with forward differences, the curl of H with backward differences, which is the Hermitian adjoint
of the former, so the discrete Maxwell operator is Hermitian. Bloch periodicity closes every
difference across the cell with the phase exp(i k L).

Units: lengths in lattice constants, c = 1; an eigenvalue is omega^2 and the returned
frequencies are omega a / (2 pi c).
"""

import numpy as np
import scipy.fft
import scipy.sparse as sp
import scipy.sparse.linalg as spla


def bloch_difference(n, spacing, phase):
    """Forward difference (f[i+1] - f[i]) / spacing on n periodic samples, f[n] = phase f[0]."""
    rows = np.arange(n)
    values = np.ones(n, dtype=complex)
    values[-1] = phase
    shift = sp.csr_matrix((values, (rows, (rows + 1) % n)), shape=(n, n))
    return (shift - sp.identity(n, format="csr")) / spacing


def differences(shape, spacing, k):
    """Forward differences along x, y and z on the grid flattened in (x, y, z) order, z fastest."""
    eyes = [sp.identity(n, format="csr") for n in shape]
    result = []
    for axis in range(3):
        phase = np.exp(1j * k[axis] * shape[axis] * spacing[axis])
        factors = list(eyes)
        factors[axis] = bloch_difference(shape[axis], spacing[axis], phase)
        result.append(sp.kron(sp.kron(factors[0], factors[1]), factors[2], format="csr"))
    return result


def curl_of_e(d):
    """Curl from the E positions (edges) to the H positions (faces); its adjoint is the curl of H."""
    dx, dy, dz = d
    return sp.bmat([[None, -dz, dy], [dz, None, -dx], [-dy, dx, None]], format="csr")


def largest(matrix):
    """The largest magnitude of a sparse matrix's entries, 0 when it has none."""
    return abs(matrix).max() if matrix.nnz else 0.0


def real_if_possible(matrix):
    """At k = 0 and at the zone-boundary points every phase is +-1: the operator is then real."""
    if matrix.dtype.kind == "c" and largest(matrix.imag) <= 1e-12 * largest(matrix):
        return matrix.real.tocsr()
    return matrix


def diagonals(tensor):
    """The xx, yy and zz parts of an (nx, ny, nz, 9) tensor array, stacked (3, nx, ny, nz), as real
    numbers; the solver treats lossless media only."""
    values = np.asarray(tensor)[..., [0, 4, 8]].astype(np.complex128)
    if np.any(values.imag != 0) or np.any(values.real <= 0):
        raise ValueError("the solver needs real, positive diagonal coefficients")
    return np.moveaxis(values.real, -1, 0)


def lowest(a, b, count):
    """The `count` lowest eigenvalues of a x = lambda b x (a Hermitian positive definite, b a
    positive diagonal) by shift-invert about zero, with their eigenvectors, ascending."""
    # Products and slices of sparse matrices may come with unsorted indices; `.imag` of such a
    # matrix shares the index arrays, and sorting them for one corrupts the other. A private copy
    # in canonical form first.
    a = a.tocsc(copy=True)
    a.sum_duplicates()
    a = real_if_possible(a)
    values, vectors = spla.eigsh(a, k=count, M=b, sigma=0.0, which="LM")
    order = np.argsort(values.real)
    return values.real[order], vectors[:, order]


def to_frequency(eigenvalues):
    return np.sqrt(np.asarray(eigenvalues)) / (2 * np.pi)


def slab_bands(eps, mu, spacing, k, count):
    """Bands of a grid one cell thick along z (periodic, k_z = 0): {'TM': ..., 'TE': ...}.

    With no variation along z the z differences vanish and the Yee operator splits exactly: E_z
    couples only to H_x, H_y (TM), H_z only to E_x, E_y (TE). TM is solved for E_z with the curl-curl
    operator of E, TE for H_z with the curl-curl operator of H. Neither block holds the gradient
    null space of the full operator (the in-plane gradients live in E_x, E_y and H_x, H_y), so
    both blocks are positive definite for k != 0 and shift-invert about zero finds the lowest bands.
    """
    eps_d, mu_d = diagonals(eps), diagonals(mu)
    shape = eps_d.shape[1:]
    if shape[2] != 1 or k[2] != 0:
        raise ValueError("a slab is one cell thick with k_z = 0")
    n = int(np.prod(shape))
    curl = curl_of_e(differences(shape, spacing, k))
    e_operator = curl.conj().T @ sp.diags(1.0 / mu_d.reshape(-1)) @ curl
    h_operator = curl @ sp.diags(1.0 / eps_d.reshape(-1)) @ curl.conj().T
    z, xy = slice(2 * n, 3 * n), slice(0, 2 * n)
    for operator in (e_operator, h_operator):
        assert largest(operator[z, xy]) == 0.0  # the polarisations do not couple
    tm, _ = lowest(e_operator[z, z], sp.diags(eps_d[2].reshape(-1)), count)
    te, _ = lowest(h_operator[z, z], sp.diags(mu_d[2].reshape(-1)), count)
    return {"TM": to_frequency(tm), "TE": to_frequency(te)}


def homogeneous_inverse(shape, spacing, k, eps_mean, penalty):
    """Applies the inverse of the H operator below for a homogeneous eps_mean and mu = 1, by FFT.

    A forward difference along a acts on the Bloch plane wave exp(i q_a h_a j_a) as multiplication
    by K_a = (exp(i q_a h_a) - 1) / h_a, whatever the component's half-cell stagger. In that basis
    curl_e curl_e^H = |K|^2 (1 - P) and G G^H = |K|^2 P with P = conj(K) K^T / |K|^2, so the
    operator is |K|^2 ((1 - P) / eps_mean + penalty P) and its inverse is known per plane wave.
    """
    r = np.meshgrid(*[np.arange(n) * h for n, h in zip(shape, spacing)], indexing="ij")
    bloch = np.exp(1j * sum(k[a] * r[a] for a in range(3)))
    q = np.meshgrid(*[2 * np.pi * np.fft.fftfreq(n, h) for n, h in zip(shape, spacing)], indexing="ij")
    big_k = np.stack([(np.exp(1j * (k[a] + q[a]) * spacing[a]) - 1) / spacing[a] for a in range(3)])
    norm2 = np.sum(abs(big_k) ** 2, axis=0)
    unit = np.conj(big_k) / np.sqrt(norm2)  # P = unit unit^H
    # (1/|K|^2) (eps_mean (1 - P) + P / penalty) = a + unit (b unit^H)
    a = eps_mean / norm2
    b = unit * (1 / penalty - eps_mean) / norm2
    projection = np.conj(unit)

    def apply(x):
        u = scipy.fft.fftn(x.reshape((3,) + tuple(shape)) / bloch, axes=(1, 2, 3))
        along = np.einsum("c...,c...->...", projection, u)
        return (scipy.fft.ifftn(a * u + b * along, axes=(1, 2, 3)) * bloch).reshape(-1)

    return apply


def vector_bands(eps, mu, spacing, k, count, penalty=4.0):
    """The lowest `count` bands of the full three-dimensional grid (see `penalised_bands`); the
    penalty is doubled until no gradient field is left among them."""
    for _ in range(6):
        bands = penalised_bands(eps, mu, spacing, k, count, penalty)
        if bands is not None:
            return bands
        penalty *= 2
    raise RuntimeError("gradient fields stay among the lowest bands")


def penalised_bands(eps, mu, spacing, k, count, penalty):
    """The lowest `count` bands of the full three-dimensional grid, from the H-field operator
    curl_e B^-1 curl_e^H (B = eps at the E positions) with mass mu at the H positions.

    That operator vanishes on every discrete gradient of a cell-centred scalar (a null space as large
    as the grid). Rather than searching past it, the operator gets the term penalty * M G G^H M, with
    G the gradient from the cell centres to the H positions and M = mu: a field with div(mu H) = 0
    (every true mode) is unchanged by it, so the true bands stay exact eigenpairs, while each
    gradient field moves to penalty * (eigenvalue of G^H M G) >= penalty * mu_min * |k|^2 (about),
    far above the lowest bands. Every returned vector is checked to be divergence free; None when
    one is not.

    Shift-invert about zero needs solves with the operator; a sparse factorisation of a 24^3 grid
    takes minutes, so they are conjugate-gradient solves preconditioned by the exact inverse of
    the homogeneous operator (FFT), which converge in tens of iterations.
    """
    eps_d, mu_d = diagonals(eps), diagonals(mu)
    shape = eps_d.shape[1:]
    d = differences(shape, spacing, k)
    curl = curl_of_e(d)
    gradient = -sp.vstack([dd.conj().T for dd in d], format="csr")  # backward differences
    m = sp.diags(mu_d.reshape(-1))
    operator = curl @ sp.diags(1.0 / eps_d.reshape(-1)) @ curl.conj().T \
        + penalty * (m @ gradient @ gradient.conj().T @ m)
    operator = operator.tocsr()
    operator.sum_duplicates()
    operator = real_if_possible(operator)
    mean = 1.0 / np.mean(1.0 / eps_d)
    precondition = homogeneous_inverse(shape, spacing, k, mean, penalty * np.mean(mu_d) ** 2)
    real = operator.dtype.kind == "f"
    preconditioner = spla.LinearOperator(operator.shape, dtype=operator.dtype,
                                         matvec=lambda x: precondition(x).real if real else precondition(x))

    def solve(x):
        solution, info = spla.cg(operator, x, rtol=1e-10, atol=0.0, M=preconditioner, maxiter=2000)
        if info != 0:
            raise RuntimeError("the preconditioned solve did not converge")
        return solution

    inverse = spla.LinearOperator(operator.shape, dtype=operator.dtype, matvec=solve)
    values, vectors = spla.eigsh(operator, k=count, M=m, sigma=0.0, which="LM", OPinv=inverse,
                                 ncv=max(4 * count, 20), tol=1e-10)
    order = np.argsort(values)
    values, vectors = values[order], vectors[:, order]
    divergence = np.linalg.norm(gradient.conj().T @ (m @ vectors), axis=0)
    scale = spla.norm(gradient) / np.sqrt(gradient.shape[1]) * np.linalg.norm(m @ vectors, axis=0)
    if np.any(divergence > 1e-6 * scale):
        return None
    return to_frequency(values)
