#include "keyaudit/sharing_lists.hpp"

#include "keyaudit/coprime_base.hpp"

#include <algorithm>
#include <iterator>
#include <map>
#include <numeric>
#include <utility>

namespace keyaudit {

namespace {

// The hits as the lists see them: in the order of their first input, each
// with the elements its part holds.
struct sharing {
    std::vector<std::size_t> value;                     // of each hit
    std::vector<std::vector<std::size_t>> elements_of;  // of each hit
    batch::level elements;
    std::vector<std::vector<std::size_t>> members;  // of each element: hits, in order
    std::vector<std::size_t> weight;                // of each element: inputs of its hits
    std::map<std::pair<std::size_t, std::size_t>, std::size_t> pair_weight;
};

sharing elements_of_hits(const distinct_moduli& d, std::vector<std::size_t> hits,
                         const batch::level& parts, const batch::runner& run)
{
    std::sort(hits.begin(), hits.end(),
              [&d](std::size_t a, std::size_t b) { return d.inputs[a][0] < d.inputs[b][0]; });
    batch::level values(hits.size());
    std::transform(hits.begin(), hits.end(), values.begin(),
                   [&parts](std::size_t k) { return parts[k]; });
    std::sort(values.begin(), values.end());
    values.erase(std::unique(values.begin(), values.end()), values.end());
    batch::coprime_split split = batch::split_into_coprimes(values, run);
    sharing s{hits, {}, std::move(split.elements), {}, {}, {}};
    s.members.resize(s.elements.size());
    s.weight.assign(s.elements.size(), 0);
    for (std::size_t h = 0; h < hits.size(); ++h) {
        const auto v = std::lower_bound(values.begin(), values.end(), parts[hits[h]]) - values.begin();
        s.elements_of.push_back(split.elements_of[static_cast<std::size_t>(v)]);
        const std::vector<std::size_t>& own = s.elements_of.back();
        for (const std::size_t e : own) {
            s.members[e].push_back(h);
            s.weight[e] += d.inputs[hits[h]].size();
        }
        // Every pair of its elements: one for a key of two primes.
        for (std::size_t a = 0; own.size() > 1 && a + 1 < own.size(); ++a) {
            for (std::size_t b = a + 1; b < own.size(); ++b) {
                s.pair_weight[{own[a], own[b]}] += d.inputs[hits[h]].size();
            }
        }
    }
    return s;
}

// All other inputs that share a prime: by the elements' weights for one or
// two elements (the keys of two primes), else by the union of the members,
// which is quadratic only for many moduli of three or more shared elements
// around one prime.
std::size_t sharing_count(const distinct_moduli& d, const sharing& s, std::size_t h)
{
    const std::vector<std::size_t>& own = s.elements_of[h];
    const std::size_t self = d.inputs[s.value[h]].size();
    if (own.size() == 1) {
        return s.weight[own[0]] - self;
    }
    if (own.size() == 2) {
        return s.weight[own[0]] + s.weight[own[1]] - s.pair_weight.at({own[0], own[1]}) - self;
    }
    std::vector<std::size_t> all;
    for (const std::size_t e : own) {
        all.insert(all.end(), s.members[e].begin(), s.members[e].end());
    }
    std::sort(all.begin(), all.end());
    all.erase(std::unique(all.begin(), all.end()), all.end());
    return std::accumulate(all.begin(), all.end(), std::size_t{0},
                           [&](std::size_t sum, std::size_t o) {
                               return sum + d.inputs[s.value[o]].size();
                           }) -
           self;
}

// The first listed_most other inputs: they lie among the first listed_most
// other hits of each element, hits being in the order of their first input.
std::vector<std::size_t> first_sharing(const distinct_moduli& d, const sharing& s, std::size_t h)
{
    std::vector<std::size_t> near;
    for (const std::size_t e : s.elements_of[h]) {
        const std::vector<std::size_t>& m = s.members[e];
        for (std::size_t j = 0, taken = 0; j < m.size() && taken < listed_most; ++j) {
            if (m[j] != h) {
                near.push_back(m[j]);
                ++taken;
            }
        }
    }
    std::sort(near.begin(), near.end());
    near.erase(std::unique(near.begin(), near.end()), near.end());
    near.resize(std::min(near.size(), listed_most));
    std::vector<std::size_t> inputs;
    for (const std::size_t o : near) {
        const std::vector<std::size_t>& of = d.inputs[s.value[o]];
        inputs.insert(inputs.end(), of.begin(), of.begin() + static_cast<std::ptrdiff_t>(
                                                                std::min(of.size(), listed_most)));
    }
    std::sort(inputs.begin(), inputs.end());
    inputs.resize(std::min(inputs.size(), listed_most));
    return inputs;
}

std::size_t root_of(std::vector<std::size_t>& up, std::size_t x)
{
    while (up[x] != x) {
        up[x] = up[up[x]];
        x = up[x];
    }
    return x;
}

// Hits joined through elements; each group named by its first input.
std::vector<std::size_t> groups(const distinct_moduli& d, const sharing& s)
{
    std::vector<std::size_t> up(s.value.size());
    std::iota(up.begin(), up.end(), std::size_t{0});
    for (const std::vector<std::size_t>& m : s.members) {
        for (std::size_t j = 1; j < m.size(); ++j) {
            const std::size_t a = root_of(up, m[0]);
            const std::size_t b = root_of(up, m[j]);
            up[std::max(a, b)] = std::min(a, b);  // hits in input order: the root is the first
        }
    }
    std::vector<std::size_t> group(s.value.size());
    for (std::size_t h = 0; h < s.value.size(); ++h) {
        group[h] = d.inputs[s.value[root_of(up, h)]][0];
    }
    return group;
}

// When every prime of N is shared, N's part is N itself and its elements
// hold its primes apart: the smallest is given, unless they only ever
// occur together.
mpz_class factor_of(const distinct_moduli& d, const sharing& s, const batch::level& parts,
                    std::size_t h)
{
    const mpz_class& n = d.values[s.value[h]];
    if (parts[s.value[h]] != n) {
        return parts[s.value[h]];
    }
    std::vector<std::size_t> proper;
    std::copy_if(s.elements_of[h].begin(), s.elements_of[h].end(), std::back_inserter(proper),
                 [&](std::size_t e) { return s.elements[e] != n; });
    const auto smallest = std::min_element(
        proper.begin(), proper.end(),
        [&s](std::size_t a, std::size_t b) { return s.elements[a] < s.elements[b]; });
    return smallest == proper.end() ? mpz_class(0) : s.elements[*smallest];
}

}  // namespace

void list_sharing(const distinct_moduli& d, const std::vector<std::size_t>& hits,
                  const batch::level& parts, std::vector<shared_prime_result>& results,
                  const batch::runner& run)
{
    const sharing s = elements_of_hits(d, hits, parts, run);
    run.check();
    const std::vector<std::size_t> group = groups(d, s);
    for (std::size_t h = 0; h < s.value.size(); ++h) {
        if (h % 4096 == 0) {
            run.check();
        }
        const std::vector<std::size_t> first = first_sharing(d, s, h);
        const std::size_t count = sharing_count(d, s, h);
        const mpz_class factor = factor_of(d, s, parts, h);
        for (const std::size_t i : d.inputs[s.value[h]]) {
            results[i].shares_with = first;
            results[i].shares_with_count = count;
            results[i].group = group[h];
            results[i].factor = factor;
        }
    }
}

}  // namespace keyaudit
