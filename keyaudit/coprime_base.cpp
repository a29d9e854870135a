#include "keyaudit/coprime_base.hpp"

#include <algorithm>
#include <numeric>
#include <utility>

namespace keyaudit::batch {

namespace {

// What became of one value in a round: the elements it is now known to
// hold, or the pieces it splits into for the next round.
struct fate {
    std::vector<std::size_t> elements;
    level pieces;
};

struct query {
    std::size_t value;
    std::size_t node;  // at the level above: its product, less the value, holds all its primes
    mpz_class divisor;
};

// gcd(t, the product of node c of level l less t itself) for each query,
// one product tree of the queried values per node.
void parts_within(const tree& nodes, std::size_t l, std::size_t c, const level& values,
                  const std::vector<query*>& asked, level& out, const runner& run)
{
    level asked_values(asked.size());
    std::transform(asked.begin(), asked.end(), asked_values.begin(),
                   [&values](const query* q) { return values[q->value]; });
    const tree queried = product_tree(asked_values, run);
    level r = remainders_of_squares(queried, nodes[l][c], run);
    const std::size_t first = c << l;
    const std::size_t last = (c + 1) << l;
    for (std::size_t i = 0; i < asked.size(); ++i) {
        const mpz_class& t = values[asked[i]->value];
        if (asked[i]->value >= first && asked[i]->value < last) {
            mpz_divexact(r[i].get_mpz_t(), r[i].get_mpz_t(), t.get_mpz_t());
        } else {
            mpz_mod(r[i].get_mpz_t(), r[i].get_mpz_t(), t.get_mpz_t());
        }
        mpz_gcd(r[i].get_mpz_t(), r[i].get_mpz_t(), t.get_mpz_t());
    }
    out = std::move(r);
}

// For the queries whose child (first or second) exists: the part that
// child gives each; the value itself where it does not exist.
std::vector<mpz_class> parts_from_child(const tree& nodes, std::size_t l, std::size_t which,
                                        const level& values, std::vector<query*>& asking,
                                        const runner& run)
{
    std::sort(asking.begin(), asking.end(),
              [](const query* a, const query* b) { return a->node < b->node; });
    std::vector<mpz_class> parts(asking.size());
    for (std::size_t i = 0; i < asking.size();) {
        std::size_t j = i;
        while (j < asking.size() && asking[j]->node == asking[i]->node) {
            ++j;
        }
        const std::size_t c = 2 * asking[i]->node + which;
        level found;
        const std::vector<query*> group(asking.begin() + static_cast<std::ptrdiff_t>(i),
                                        asking.begin() + static_cast<std::ptrdiff_t>(j));
        if (c < nodes[l].size()) {
            // Threads go to a node's own trees only when few nodes are asked.
            parts_within(nodes, l, c, values, group, found, j - i > asking.size() / 2 ? run : run.alone());
        } else {
            found.resize(group.size());
            std::transform(group.begin(), group.end(), found.begin(),
                           [&values](const query* q) { return values[q->value]; });
        }
        std::move(found.begin(), found.end(), parts.begin() + static_cast<std::ptrdiff_t>(i));
        i = j;
    }
    return parts;
}

bool proper(const mpz_class& part, const mpz_class& t) { return part != 1 && part != t; }

// Walks each value whose part is the value itself down the tree, into a
// child whose product holds all of its primes, until a child gives it a
// proper part. For two-prime values the walk ends by the leaves at the
// latest; a divisor of 0 says the walk found none.
void walk_down(const tree& nodes, const level& values, std::vector<query>& queries,
               const runner& run)
{
    std::vector<query*> walking(queries.size());
    std::transform(queries.begin(), queries.end(), walking.begin(), [](query& q) { return &q; });
    for (std::size_t l = nodes.size(); l-- > 0 && !walking.empty();) {
        const std::vector<mpz_class> first = parts_from_child(nodes, l, 0, values, walking, run);
        std::vector<query*> both;
        std::vector<query*> next;
        for (std::size_t i = 0; i < walking.size(); ++i) {
            const mpz_class& t = values[walking[i]->value];
            if (proper(first[i], t)) {
                walking[i]->divisor = first[i];
            } else if (first[i] == 1) {
                walking[i]->node = 2 * walking[i]->node + 1;
                next.push_back(walking[i]);
            } else {
                both.push_back(walking[i]);
            }
        }
        const std::vector<mpz_class> second = parts_from_child(nodes, l, 1, values, both, run);
        for (std::size_t i = 0; i < both.size(); ++i) {
            if (proper(second[i], values[both[i]->value])) {
                both[i]->divisor = second[i];
            } else {
                both[i]->node = 2 * both[i]->node;
                next.push_back(both[i]);
            }
        }
        walking = std::move(next);
    }
}

// Values near in size are often partners (keys made in one run): in the
// order of their low bits they are spread over the tree, so that a walk
// mostly ends within a level or two instead of at the leaves.
level spread(const level& values, std::vector<std::size_t>& order)
{
    order.resize(values.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::sort(order.begin(), order.end(), [&values](std::size_t a, std::size_t b) {
        return mpz_getlimbn(values[a].get_mpz_t(), 0) < mpz_getlimbn(values[b].get_mpz_t(), 0);
    });
    level spread_out(order.size());
    std::transform(order.begin(), order.end(), spread_out.begin(),
                   [&values](std::size_t v) { return values[v]; });
    return spread_out;
}

// Every value whose part is itself gets split by the walk where it can.
std::vector<fate> one_round(const level& given, const runner& run, bool& progress)
{
    std::vector<std::size_t> order;
    const level values = spread(given, order);
    const tree nodes = product_tree(values, run);
    const level links = shared_parts(nodes, 1, run);
    std::vector<fate> fates(values.size());
    std::vector<query> queries;
    for (std::size_t v = 0; v < values.size(); ++v) {
        if (links[v] == values[v]) {
            queries.push_back({v, 0, 0});
        } else if (links[v] != 1) {
            fates[order[v]].pieces = {links[v], values[v] / links[v]};
        }
    }
    walk_down(nodes, values, queries, run);
    for (const query& q : queries) {
        level& pieces = fates[order[q.value]].pieces;
        if (q.divisor == 0) {
            pieces = {values[q.value]};
        } else {
            pieces = {q.divisor, values[q.value] / q.divisor};
        }
    }
    progress = std::any_of(fates.begin(), fates.end(), [](const fate& f) { return f.pieces.size() > 1; });
    return fates;
}

// The pairwise way, for what the walks leave: values whose primes only
// ever occur together with others' (never for keys of two primes). A common
// part splits both numbers it came from until nothing is left to split.
// Quadratic in the number of such values.
level pairwise_coprime_base(const level& values, const runner& run)
{
    level base;
    level pending;
    mpz_class common;
    for (const mpz_class& value : values) {
        pending.push_back(value);
        while (!pending.empty()) {
            run.check();
            mpz_class x = std::move(pending.back());
            pending.pop_back();
            if (x == 1) {
                continue;
            }
            std::size_t e = 0;
            for (; e < base.size(); ++e) {
                mpz_gcd(common.get_mpz_t(), x.get_mpz_t(), base[e].get_mpz_t());
                if (common != 1) {
                    break;
                }
            }
            if (e == base.size()) {
                base.push_back(std::move(x));
                continue;
            }
            if (common == x && common == base[e]) {
                continue;
            }
            mpz_class element = std::move(base[e]);
            base[e] = std::move(base.back());
            base.pop_back();
            mpz_divexact(element.get_mpz_t(), element.get_mpz_t(), common.get_mpz_t());
            mpz_divexact(x.get_mpz_t(), x.get_mpz_t(), common.get_mpz_t());
            pending.push_back(common);
            pending.push_back(std::move(element));
            pending.push_back(std::move(x));
        }
    }
    return base;
}

// When a round splits nothing, the pairwise base settles the rest.
void settle_pairwise(const level& values, std::vector<fate>& fates, level& elements,
                     const runner& run)
{
    level open;
    for (std::size_t v = 0; v < values.size(); ++v) {
        if (!fates[v].pieces.empty()) {
            open.push_back(values[v]);
        }
    }
    const level base = pairwise_coprime_base(open, run);
    const std::size_t first = elements.size();
    elements.insert(elements.end(), base.begin(), base.end());
    for (std::size_t v = 0; v < values.size(); ++v) {
        if (fates[v].pieces.empty()) {
            continue;
        }
        run.check();
        fates[v].pieces.clear();
        for (std::size_t e = 0; e < base.size(); ++e) {
            if (mpz_divisible_p(values[v].get_mpz_t(), base[e].get_mpz_t()) != 0) {
                fates[v].elements.push_back(first + e);
            }
        }
    }
}

// The next round's values, distinct and ascending; where each fate's
// pieces went among them.
level next_values(std::vector<fate>& fates, std::vector<std::vector<std::size_t>>& went)
{
    level next;
    for (const fate& f : fates) {
        next.insert(next.end(), f.pieces.begin(), f.pieces.end());
    }
    std::sort(next.begin(), next.end());
    next.erase(std::unique(next.begin(), next.end()), next.end());
    went.assign(fates.size(), {});
    for (std::size_t v = 0; v < fates.size(); ++v) {
        for (const mpz_class& piece : fates[v].pieces) {
            const auto at = std::lower_bound(next.begin(), next.end(), piece);
            went[v].push_back(static_cast<std::size_t>(at - next.begin()));
        }
    }
    return next;
}

}  // namespace

// Rounds of a batch GCD among the values, each value split by its part, or
// by the walk where its part is itself, until every value is an element:
// coprime to all others. Elements keep their number from the round they
// settle in; each input value follows its pieces through the rounds.
coprime_split split_into_coprimes(const level& values, const runner& run)
{
    coprime_split out;
    out.elements_of.resize(values.size());
    std::vector<std::vector<std::size_t>> at(values.size());
    for (std::size_t v = 0; v < values.size(); ++v) {
        at[v] = {v};
    }
    level current = values;
    while (!current.empty()) {
        bool progress = false;
        std::vector<fate> fates = one_round(current, run, progress);
        if (!progress) {
            settle_pairwise(current, fates, out.elements, run);
        }
        for (std::size_t v = 0; v < current.size(); ++v) {
            if (fates[v].pieces.empty() && fates[v].elements.empty()) {
                fates[v].elements.push_back(out.elements.size());
                out.elements.push_back(current[v]);
            }
        }
        std::vector<std::vector<std::size_t>> went;
        current = next_values(fates, went);
        for (std::size_t o = 0; o < values.size(); ++o) {
            std::vector<std::size_t> now;
            for (const std::size_t v : at[o]) {
                out.elements_of[o].insert(out.elements_of[o].end(), fates[v].elements.begin(),
                                          fates[v].elements.end());
                now.insert(now.end(), went[v].begin(), went[v].end());
            }
            std::sort(now.begin(), now.end());
            now.erase(std::unique(now.begin(), now.end()), now.end());
            at[o] = std::move(now);
        }
    }
    for (std::vector<std::size_t>& e : out.elements_of) {
        std::sort(e.begin(), e.end());
        e.erase(std::unique(e.begin(), e.end()), e.end());
    }
    return out;
}

}  // namespace keyaudit::batch
