"""How far apart two correct evaluations of the same effects and standard errors may lie.

Every sum of the pass adds, over the rows, terms computed row by row, and the standard
errors come out of v = diag(J Σ Jᵀ). Two correct evaluations (zarn and the NumPy
reference, two memory layouts, two chunk sizes, or one build on two CPUs, since OpenBLAS
picks its kernel by CPU and by the shape of each product) add the terms in different
orders and round each one differently. They agree to units of rounding u = 2⁻⁵³ of the
magnitudes of what they add, not of the result, which cancellation can make far smaller.
The bounds below follow the textbook error analysis of sums and dot products:

- a sum of n terms, in any order, is within (n - 1)·u of the sum of their magnitudes;
- each term is off by a few roundings of its own (TERM_ROUNDINGS, plus k where a term
  takes a k-term combination of slopes), and by how far it moves when its row's linear
  predictor v = x·β is off: v is a sum of k products, within k·u of Σ|xₗβₗ|, and a
  counterfactual predictor adds two roundings of ±βⱼ; every link quantity the terms use
  (F, f, f', v·f) moves by at most (1 + |v|)² f(v) per unit of v;
- v = diag(J Σ Jᵀ) is off by what the errors δJ of the mean gradient carry through the
  product, plus k² + 2k + 2 roundings of diag(|J| |Σ| |J|ᵀ) (2k + 2 for J Σ and then
  its rows dotted with J's, k² + 2 for one sum of the k² products, as einsum takes it);
- two variances within D of each other give standard errors within
  min(√D, D / (s₁ + s₂)), whichever side of zero either variance rounds to, plus the
  rounding of each square root.

Each function returns how far one correct evaluation may lie from the exact value; two
evaluations may differ by twice that.
"""

import numpy as np

import ame_reference as ref

U = 2.0**-53
# Roundings within one term beyond its linear predictor: the link function (glibc's exp,
# erfc and libmvec's erfc are within 4 units in the last place), the density difference,
# the products by x and β, and the division by the number of rows.
TERM_ROUNDINGS = 16


def row_sums_error(magnitudes, moves, roundings=TERM_ROUNDINGS):
    """Error bound of sums over the rows (axis 0) of terms of the given magnitudes, each of
    which moves by at most ``moves`` with the rounding of its row's linear predictor."""
    n = magnitudes.shape[0]
    with np.errstate(invalid="ignore"):
        return U * (n + roundings) * magnitudes.sum(axis=0) + moves.sum(axis=0)


def predictor_error(x, beta, shift=0.0):
    """Per row, the error bound of x·β (plus a shift of at most ``shift``)."""
    k = x.shape[1]
    with np.errstate(invalid="ignore", over="ignore"):
        return (k + 2) * U * (np.abs(x) @ np.abs(beta) + shift)


def link_move(kind, v, dv):
    """How far F, f, f' and v·f at v move when v is off by dv: (1 + |v|)² f(v) dv."""
    with np.errstate(all="ignore"):
        f = ref.pdf(kind, v)
        return np.where(f > 0.0, (1.0 + np.abs(v)) ** 2 * f * dv, 0.0)


def variance_error(jacobian, jacobian_error, cov):
    """Error bound of diag(J Σ Jᵀ) given J's error bound, entry by entry."""
    k = jacobian.shape[1]
    with np.errstate(invalid="ignore", over="ignore"):
        a = np.abs(jacobian) + jacobian_error
        s = np.abs(cov)
        carried = np.einsum("ja,ab,jb->j", jacobian_error, s, a)
        carried += np.einsum("ja,ab,jb->j", a, s, jacobian_error)
        return carried + (k * k + 2 * k + 2) * U * np.einsum("ja,ab,jb->j", a, s, a)


def effect_errors(kind, beta, X, names, cov, method):
    """(ame_error, variance_error) of zarn's numbers, over all k columns, for model parts
    of the link kind; the terms are those of ame_reference.accumulate."""
    n, k = X.shape
    if n == 0:
        return np.zeros(k), np.zeros(k)
    binary = ref.binary_columns(X, names)
    intercepts = [j for j, name in enumerate(names) if ref.is_intercept(name)]
    continuous = [j for j in range(k) if j not in intercepts and j not in binary]
    ame_mag, ame_move = np.zeros((n, k)), np.zeros((n, k))
    jac_mag, jac_move = np.zeros((n, k, k)), np.zeros((n, k, k))
    absx = np.abs(X)
    with np.errstate(all="ignore"):
        xb = X @ beta
        dv = predictor_error(X, beta, np.max(np.abs(beta)))
        f, move = ref.pdf(kind, xb), link_move(kind, xb, dv)
        for j in binary:
            x, b = X[:, j], beta[j]
            one, zero = xb + (1.0 - x) * b, xb + (-x) * b
            f1, f0 = ref.pdf(kind, one), ref.pdf(kind, zero)
            m1, m0 = link_move(kind, one, dv), link_move(kind, zero, dv)
            ame_mag[:, j] = ref.cdf(kind, one) + ref.cdf(kind, zero)
            ame_move[:, j] = m1 + m0
            jac_mag[:, j, :] = (f1 + f0)[:, None] * absx
            jac_move[:, j, :] = (m1 + m0)[:, None] * absx
            jac_mag[:, j, j], jac_move[:, j, j] = f1, m1
        if method in ("kova", "sm"):
            factor = np.abs(xb) * f if method == "kova" else np.abs(ref.pdf_derivative(kind, xb))
            for j in continuous:
                b = abs(beta[j])
                ame_mag[:, j], ame_move[:, j] = f * b, move * b
                jac_mag[:, j, :] = (factor * b)[:, None] * absx
                jac_move[:, j, :] = (move * b)[:, None] * absx
                if method == "kova":
                    jac_mag[:, j, j], jac_move[:, j, j] = f, move
                else:
                    jac_mag[:, j, j] += f
                    jac_move[:, j, j] += move
        ame_error = row_sums_error(ame_mag, ame_move) / n
        jac_error = row_sums_error(jac_mag, jac_move) / n
        sums = ref.accumulate(kind, beta, X, names, method)
        jacobian = (sums[3] if method == "sm" else sums[1]) / n
    return ame_error, variance_error(jacobian, jac_error, cov)


def assert_close_effects(got_ames, got_ses, want_ames, want_ses, ame_error, var_error, context):
    """Two evaluations of AMEs and standard errors, each within ame_error and var_error of
    the exact AMEs and variances, agree cell by cell: equal (NaN where the other is NaN) or
    within the bounds."""
    got_ames, got_ses, want_ames, want_ses = (
        np.asarray(a, dtype=float) for a in (got_ames, got_ses, want_ames, want_ses)
    )
    with np.errstate(all="ignore"):
        d = 2.0 * var_error
        both = got_ses + want_ses
        se_tol = np.minimum(np.sqrt(d), np.where(both > 0, d / both, np.inf)) + U * both
        ame_ok = np.abs(got_ames - want_ames) <= 2.0 * ame_error
        se_ok = np.abs(got_ses - want_ses) <= se_tol
    same_ames = (got_ames == want_ames) | (np.isnan(got_ames) & np.isnan(want_ames))
    same_ses = (got_ses == want_ses) | (np.isnan(got_ses) & np.isnan(want_ses))
    wrong = np.flatnonzero(~((same_ames | ame_ok) & (same_ses | se_ok)))
    if wrong.size:
        detail = "; ".join(
            f"row {i}: dy/dx {got_ames[i]!r} against {want_ames[i]!r} (bound 2 x "
            f"{ame_error[i]:.3g}), Std. Err {got_ses[i]!r} against {want_ses[i]!r} "
            f"(variance bound 2 x {var_error[i]:.3g})"
            for i in wrong
        )
        raise AssertionError(f"{context}: {detail}")
