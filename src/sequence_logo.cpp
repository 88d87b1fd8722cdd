#include "sequence_logo.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numeric>

namespace {

// Letters lower than this (in bits, of 2) are not drawn: under a hundredth of the height.
constexpr double smallest_drawn = 0.02;

// A number in few bytes: three decimals at most, trailing zeros and a leading zero dropped.
void append_short(std::string& out, double v)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", v);
    std::string_view s(text);
    if (s.find('.') != std::string_view::npos) {
        while (s.back() == '0')
            s.remove_suffix(1);
        if (s.back() == '.')
            s.remove_suffix(1);
    }
    if (s == "-0")
        s = "0";
    if (s.size() > 1 && s[0] == '0' && s[1] == '.')
        s.remove_prefix(1);
    else if (s.size() > 2 && s[0] == '-' && s[1] == '0' && s[2] == '.') {
        out += '-';
        s.remove_prefix(2);
    }
    out += s;
}

}  // namespace

std::array<double, 4> letter_heights(const std::array<float, 5>& frequencies)
{
    std::array<double, 4> f{};
    for (int b = 0; b < 4; ++b)
        f[static_cast<std::size_t>(b)] = std::max(0.0, static_cast<double>(frequencies[static_cast<std::size_t>(b)]));
    const double total = std::accumulate(f.begin(), f.end(), 0.0);
    if (!(total > 0.0))
        return {};
    double entropy = 0.0;
    for (double& v : f) {
        v /= total;
        if (v > 0.0)
            entropy -= v * std::log2(v);
    }
    const double content = std::max(0.0, 2.0 - entropy);
    for (double& v : f)
        v *= content;
    return f;
}

void append_logo_glyphs(std::string& out)
{
    // Each glyph fills the unit square; a logo stretches it to its letter's box.
    out += "<svg class=\"glyphs\" width=\"0\" height=\"0\" aria-hidden=\"true\"><defs>"
           "<path id=\"gA\" fill=\"#109648\" fill-rule=\"evenodd\" "
           "d=\"M0 1L.39 0H.61L1 1H.77L.68 .75H.32L.23 1ZM.39 .56H.61L.5 .25Z\"/>"
           "<path id=\"gC\" fill=\"#255c99\" "
           "d=\"M.96 .3A.48 .5 0 1 0 .96 .7L.77 .63A.29 .31 0 1 1 .77 .37Z\"/>"
           "<path id=\"gG\" fill=\"#f7b32b\" "
           "d=\"M.96 .3A.48 .5 0 1 0 .99 .62V.47H.55V.61H.79A.29 .31 0 1 1 .77 .37Z\"/>"
           "<path id=\"gT\" fill=\"#d62839\" d=\"M0 0H1V.19H.6V1H.4V.19H0Z\"/>"
           "</defs></svg>\n";
}

void append_sequence_logo(std::string& out, const motif& m, int column_px, int height_px)
{
    static constexpr char letters[] = "ACGT";
    out += "<svg class=\"logo\" width=\"";
    out += std::to_string(std::max(m.len, 1) * column_px);
    out += "\" height=\"";
    out += std::to_string(height_px);
    out += "\" viewBox=\"0 0 ";
    out += std::to_string(std::max(m.len, 1));
    out += " 2\" preserveAspectRatio=\"none\" role=\"img\" aria-label=\"sequence logo\">";
    for (int r = 0; r < m.len; ++r) {
        const auto heights = letter_heights(m.frqs[static_cast<std::size_t>(r)]);
        std::array<int, 4> order{0, 1, 2, 3};
        // The largest letter on top; equal heights in alphabet order.
        std::stable_sort(order.begin(), order.end(),
            [&](int a, int b) { return heights[static_cast<std::size_t>(a)] < heights[static_cast<std::size_t>(b)]; });
        double bottom = 2.0;
        for (int b : order) {
            const double h = heights[static_cast<std::size_t>(b)];
            if (h < smallest_drawn)
                continue;
            bottom -= h;
            out += "<use href=\"#g";
            out += letters[b];
            out += "\" transform=\"matrix(.9 0 0 ";
            append_short(out, h);
            out += ' ';
            append_short(out, r + 0.05);
            out += ' ';
            append_short(out, bottom);
            out += ")\"/>";
        }
    }
    out += "</svg>";
}
