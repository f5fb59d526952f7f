// Pictures for the unit tests: sample arrays that own their samples, painted
// by a function of the column and the row.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <vector>

#include "tools/definitions.h"

using Paint = std::function<int(int x, int y)>;

// A w x h array of samples of type T seen through a picture record I.
template <typename T, typename I>
struct Plane {
    Plane(int w, int h, T fill = T{})
        : samples(static_cast<size_t>(w) * h, fill), image{w, h, samples.data()} {}
    Plane(int w, int h, const Paint& paint) : Plane(w, h) {
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                samples[static_cast<size_t>(y) * w + x] = static_cast<T>(paint(x, y));
    }
    Plane(int w, int h, std::initializer_list<T> values) : Plane(w, h) {
        std::copy(values.begin(), values.end(), samples.begin());
    }
    Plane(const Plane& o) : samples(o.samples), image{o.image.w, o.image.h, samples.data()} {}
    Plane& operator=(const Plane& o) {
        samples = o.samples;
        image = {o.image.w, o.image.h, samples.data()};
        return *this;
    }
    T& at(int x, int y) { return samples[static_cast<size_t>(y) * image.w + x]; }
    std::vector<T> samples;
    I image;
};

using Picture = Plane<uint8_t, lumaqc::Image>;
using Picture32 = Plane<int32_t, lumaqc::Image32>;
using PictureD = Plane<double, lumaqc::ImageDouble>;
