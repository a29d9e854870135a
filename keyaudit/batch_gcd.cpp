#include "keyaudit/batch_gcd.hpp"

#include "keyaudit/shared_primes.hpp"

#include <algorithm>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

namespace keyaudit::batch {

runner::runner(const std::atomic<int>* stop, unsigned threads)
    : stop_(stop), threads_(std::max(threads, 1U))
{
}

void runner::check() const
{
    if (stop_ != nullptr && stop_->load(std::memory_order_relaxed) != 0) {
        throw comparison_stopped();
    }
}

void runner::for_each(std::size_t count, const std::function<void(std::size_t)>& step) const
{
    const std::size_t shares = std::min<std::size_t>(threads_, count);
    if (shares == 0) {
        return;
    }
    std::exception_ptr failure;
    std::mutex failure_lock;
    const auto share = [&](std::size_t s) {
        try {
            for (std::size_t k = s * count / shares; k < (s + 1) * count / shares; ++k) {
                check();
                step(k);
            }
        } catch (...) {
            const std::lock_guard<std::mutex> hold(failure_lock);
            failure = std::current_exception();
        }
    };
    if (shares <= 1) {
        share(0);
    } else {
        std::vector<std::thread> workers;
        std::size_t started = 1;
        try {
            for (; started < shares; ++started) {
                workers.emplace_back(share, started);
            }
        } catch (const std::system_error&) {
            // The shares no thread could take are this one's.
        }
        for (std::size_t s = started; s < shares; ++s) {
            share(s);
        }
        share(0);
        for (std::thread& w : workers) {
            w.join();
        }
    }
    if (failure) {
        std::rethrow_exception(failure);
    }
}

// A node without a partner goes up alone, which keeps node k of level l
// over leaves k * 2^l onwards.
tree product_tree(level leaves, const runner& run)
{
    tree levels;
    levels.push_back(std::move(leaves));
    while (levels.back().size() > 2) {
        const level& below = levels.back();
        level above((below.size() + 1) / 2);
        run.for_each(above.size(), [&](std::size_t k) {
            if (2 * k + 1 < below.size()) {
                mpz_mul(above[k].get_mpz_t(), below[2 * k].get_mpz_t(), below[2 * k + 1].get_mpz_t());
            } else {
                above[k] = below[2 * k];
            }
        });
        levels.push_back(std::move(above));
    }
    return levels;
}

namespace {

std::size_t bits(const mpz_class& x) { return mpz_sizeinbase(x.get_mpz_t(), 2); }

// The bits of frac(X / v^2) each node keeps so that a leaf's is still good
// to a quarter of a unit of N: a child's error grows by its sibling's square.
// The leaves' own are given.
std::vector<std::vector<std::size_t>> precisions(const tree& nodes, std::vector<std::size_t> leaves)
{
    std::vector<std::vector<std::size_t>> p(nodes.size());
    p.front() = std::move(leaves);
    for (std::size_t l = 1; l < nodes.size(); ++l) {
        const level& below = nodes[l - 1];
        p[l].assign(nodes[l].size(), 0);
        for (std::size_t c = 0; c < below.size(); ++c) {
            const std::size_t grown = (c ^ 1U) < below.size() ? 2 * bits(below[c ^ 1U]) : 0;
            p[l][c / 2] = std::max(p[l][c / 2], p[l - 1][c] + grown + 2);
        }
    }
    return p;
}

std::vector<std::size_t> leaf_precisions(const level& leaves)
{
    std::vector<std::size_t> p(leaves.size());
    std::transform(leaves.begin(), leaves.end(), p.begin(), [](const mpz_class& n) { return bits(n) + 3; });
    return p;
}

// frac(X / a^2) = frac(b * multiplier / a) for the nodes a of the top
// level, b the other: the one division of the whole tree.
level top_fractions(const level& top, const std::vector<std::size_t>& p,
                    const mpz_class& multiplier, const runner& run)
{
    level y(top.size());
    run.for_each(top.size(), [&](std::size_t a) {
        mpz_class t = multiplier;
        if (top.size() == 2) {
            mpz_mul(t.get_mpz_t(), t.get_mpz_t(), top[a ^ 1U].get_mpz_t());
        }
        mpz_mod(t.get_mpz_t(), t.get_mpz_t(), top[a].get_mpz_t());
        mpz_mul_2exp(t.get_mpz_t(), t.get_mpz_t(), p[a]);
        mpz_tdiv_q(y[a].get_mpz_t(), t.get_mpz_t(), top[a].get_mpz_t());
    });
    return y;
}

level scaled_level(const level& nodes, const std::vector<std::size_t>& p,
                   const std::vector<std::size_t>& p_above, const level& y_above,
                   const runner& run)
{
    level y(nodes.size());
    run.for_each(nodes.size(), [&](std::size_t c) {
        // The product is thrice what is kept: it stays a temporary, so that
        // the level holds only the kept bits.
        mpz_class product = y_above[c / 2];
        if ((c ^ 1U) < nodes.size()) {
            mpz_class square;
            mpz_mul(square.get_mpz_t(), nodes[c ^ 1U].get_mpz_t(), nodes[c ^ 1U].get_mpz_t());
            mpz_mul(product.get_mpz_t(), product.get_mpz_t(), square.get_mpz_t());
        }
        mpz_tdiv_q_2exp(product.get_mpz_t(), product.get_mpz_t(), p_above[c / 2] - p[c]);
        mpz_tdiv_r_2exp(y[c].get_mpz_t(), product.get_mpz_t(), p[c]);
    });
    return y;
}

// N * frac(X / N^2) is the others' product (times the multiplier) mod N,
// up to the rounding.
void part_from_fraction(const mpz_class& n, std::size_t p, mpz_class& t)
{
    mpz_mul(t.get_mpz_t(), t.get_mpz_t(), n.get_mpz_t());
    mpz_class half;
    mpz_setbit(half.get_mpz_t(), p - 1);
    t += half;
    mpz_tdiv_q_2exp(t.get_mpz_t(), t.get_mpz_t(), p);
    if (t >= n) {
        t -= n;
    }
    mpz_gcd(t.get_mpz_t(), t.get_mpz_t(), n.get_mpz_t());
}

// Bernstein's remainder tree with scaling: each node holds frac(X / v^2),
// X the product of all leaves times the multiplier, to the bits it needs.
// A child's is its parent's times its sibling's square, so every step below
// the top is a multiplication rather than a division. Levels are freed on
// the way down. Returns the leaves' fractions, to p.front().
level leaf_fractions(tree& nodes, const std::vector<std::vector<std::size_t>>& p,
                     const mpz_class& multiplier, const runner& run)
{
    level y = top_fractions(nodes.back(), p.back(), multiplier, run);
    for (std::size_t l = nodes.size() - 1; l-- > 0;) {
        y = scaled_level(nodes[l], p[l], p[l + 1], y, run);
        nodes[l + 1] = level();
    }
    return y;
}

// The leaves of a subtree, for the descent below the shared top.
constexpr std::size_t subtree_leaves = 1024;

struct subtree {
    tree nodes;
    std::vector<std::vector<std::size_t>> p;
};

subtree subtree_at(const level& leaves, std::size_t k)
{
    const auto first = leaves.begin() + static_cast<std::ptrdiff_t>(k * subtree_leaves);
    const auto end = leaves.begin() + static_cast<std::ptrdiff_t>(std::min(leaves.size(), (k + 1) * subtree_leaves));
    subtree t;
    t.nodes = product_tree(level(first, end), runner(nullptr, 1));
    t.p = precisions(t.nodes, leaf_precisions(t.nodes.front()));
    return t;
}

// A subtree's root and the bits its fraction needs.
void root_of(const subtree& t, mpz_class& root, std::size_t& p)
{
    const level& top = t.nodes.back();
    if (top.size() == 1) {
        root = top[0];
        p = t.p.back()[0];
        return;
    }
    mpz_mul(root.get_mpz_t(), top[0].get_mpz_t(), top[1].get_mpz_t());
    p = std::max(t.p.back()[0] + 2 * bits(top[1]), t.p.back()[1] + 2 * bits(top[0])) + 2;
}

// From a subtree's root fraction, to p_root, down to its leaves' parts.
void descend(subtree& t, mpz_class y_root, std::size_t p_root, mpz_class* parts)
{
    level y{std::move(y_root)};
    if (t.nodes.back().size() > 1) {
        y = scaled_level(t.nodes.back(), t.p.back(), {p_root}, y, runner(nullptr, 1));
    }
    for (std::size_t l = t.nodes.size() - 1; l-- > 0;) {
        y = scaled_level(t.nodes[l], t.p[l], t.p[l + 1], y, runner(nullptr, 1));
    }
    const level& leaves = t.nodes.front();
    for (std::size_t k = 0; k < leaves.size(); ++k) {
        part_from_fraction(leaves[k], t.p.front()[k], y[k]);
        parts[k] = std::move(y[k]);
    }
}

}  // namespace

level shared_parts(tree nodes, const mpz_class& multiplier, const runner& run)
{
    const auto p = precisions(nodes, leaf_precisions(nodes.front()));
    level y = leaf_fractions(nodes, p, multiplier, run);
    run.for_each(y.size(), [&](std::size_t k) { part_from_fraction(nodes.front()[k], p.front()[k], y[k]); });
    return y;
}

// The tree's lower levels are the most of its memory: only the top, down to
// subtrees of subtree_leaves, is kept whole; each subtree is built again,
// alone, for the way down.
level shared_parts(const level& leaves, const mpz_class& multiplier, const runner& run)
{
    if (leaves.size() <= 2 * subtree_leaves) {
        return shared_parts(product_tree(leaves, run), multiplier, run);
    }
    const std::size_t count = (leaves.size() + subtree_leaves - 1) / subtree_leaves;
    level roots(count);
    std::vector<std::size_t> p_roots(count);
    run.for_each(count, [&](std::size_t k) { root_of(subtree_at(leaves, k), roots[k], p_roots[k]); });
    tree top = product_tree(std::move(roots), run);
    const auto p = precisions(top, std::move(p_roots));
    level y = leaf_fractions(top, p, multiplier, run);
    level parts(leaves.size());
    run.for_each(count, [&](std::size_t k) {
        subtree t = subtree_at(leaves, k);
        descend(t, std::move(y[k]), p.front()[k], &parts[k * subtree_leaves]);
    });
    return parts;
}

namespace {

// x carried down the tree, reduced at each node by its value or its square.
level carried_down(const tree& nodes, const mpz_class& x, const runner& run, bool squares)
{
    level r(nodes.back().size(), x);
    for (std::size_t l = nodes.size(); l-- > 0;) {
        const level& at = nodes[l];
        level below(at.size());
        run.for_each(at.size(), [&](std::size_t k) {
            const mpz_class& above = r[l + 1 < nodes.size() ? k / 2 : k];
            if (squares) {
                mpz_mul(below[k].get_mpz_t(), at[k].get_mpz_t(), at[k].get_mpz_t());
                mpz_mod(below[k].get_mpz_t(), above.get_mpz_t(), below[k].get_mpz_t());
            } else {
                mpz_mod(below[k].get_mpz_t(), above.get_mpz_t(), at[k].get_mpz_t());
            }
        });
        r = std::move(below);
    }
    return r;
}

}  // namespace

level remainders_of_squares(const tree& nodes, const mpz_class& x, const runner& run)
{
    return carried_down(nodes, x, run, true);
}

level remainders(const tree& nodes, const mpz_class& x, const runner& run)
{
    return carried_down(nodes, x, run, false);
}

}  // namespace keyaudit::batch
