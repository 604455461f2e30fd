#pragma once

#include <algorithm>
#include <vector>

// The median and the mean of a benchmark's samples.
struct Summary {
    double median;
    double mean;
};

inline Summary Summarise(std::vector<double> samples) {
    std::sort(samples.begin(), samples.end());
    size_t n = samples.size();
    double median = n % 2 ? samples[n / 2] : (samples[n / 2 - 1] + samples[n / 2]) / 2;
    double sum = 0;
    for (double sample : samples)
        sum += sample;
    return {median, sum / static_cast<double>(n)};
}
