#include "platform/engine/arena.h"

#include <algorithm>
#include <climits>
#include <utility>
#include <vector>

namespace figsplit::engine {

void placeTensors(Plan& plan) {
    constexpr int64_t kAlign = 16;  // floats: 64 bytes
    std::vector<TensorDesc>& t = plan.tensors;
    const int end = static_cast<int>(plan.ops.size());
    for (TensorDesc& d : t) {
        d.first = INT_MAX;
        d.last = -1;
    }
    int step = 0;
    for (const PlanOp& op : plan.ops) {
        if (op.removed) continue;
        for (int o : op.outputs) {
            TensorDesc& r = t[t[o].root];
            r.first = std::min(r.first, step);
            r.last = std::max(r.last, step);
        }
        for (const Operand& in : op.inputs) {
            if (in.tensor < 0) continue;
            TensorDesc& r = t[t[in.tensor].root];
            r.last = std::max(r.last, step);
        }
        ++step;
    }
    for (const PlanOutput& o : plan.outputs)
        if (o.tensor >= 0) t[t[o.tensor].root].last = end;
    // Size of each root = the largest view of it.
    std::vector<int64_t> size(t.size(), 0);
    for (const TensorDesc& d : t) size[d.root] = std::max(size[d.root], elementCount(d.shape));
    std::vector<int> roots;
    for (size_t k = 0; k < t.size(); ++k)
        if (t[k].root == static_cast<int>(k) && t[k].input < 0 && t[k].first != INT_MAX)
            roots.push_back(static_cast<int>(k));
    std::sort(roots.begin(), roots.end(),
              [&](int a, int b) { return size[a] != size[b] ? size[a] > size[b] : a < b; });
    std::vector<int> placed;
    int64_t total = 0;
    for (int r : roots) {
        const int64_t need = (size[r] + kAlign - 1) / kAlign * kAlign;
        std::vector<std::pair<int64_t, int64_t>> busy;
        for (int p : placed)
            if (!(t[p].last < t[r].first || t[r].last < t[p].first))
                busy.emplace_back(t[p].offset,
                                  t[p].offset + (size[p] + kAlign - 1) / kAlign * kAlign);
        std::sort(busy.begin(), busy.end());
        int64_t at = 0;
        for (const auto& [b, e] : busy) {
            if (at + need <= b) break;
            at = std::max(at, e);
        }
        t[r].offset = at;
        total = std::max(total, at + need);
        placed.push_back(r);
    }
    plan.arenaFloats = total;
    for (TensorDesc& d : t)
        if (d.root != static_cast<int>(&d - t.data())) d.offset = t[d.root].offset;
}

}  // namespace figsplit::engine
