// How far Gaussian sampling lies from cv::GaussianBlur with the same sigma,
// sqrt(k^2 + 2) / 2, on 8-bit gray photographs: for each image and kernel
// size, the largest and the mean absolute difference over the pixels where
// both kernels lie inside the image (ours 8 -> 8 bits, gain 1, rounded;
// OpenCV's ksize 0, that is 2 round(3 sigma) + 1 taps for 8-bit images).
//
// Run: /usr/bin/python3 bench/export_gray_photos.py /tmp/photos
//      build/release/bench/gauss_accuracy /tmp/photos/*.png
// Prints one line per image and kernel size, then the worst of each column.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <imgnorm/imgnorm.h>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "platform/gauss_kernel.h"

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s IMAGE.png ...\n", argv[0]);
        return 2;
    }
    cv::setNumThreads(1);
    double worstMax = 0, worstMean = 0, sumMean = 0;
    int rows = 0;
    std::printf("%-12s %4s %8s %8s\n", "image", "k", "max", "mean");
    for (int i = 1; i < argc; ++i) {
        const cv::Mat img = cv::imread(argv[i], cv::IMREAD_GRAYSCALE);
        if (img.empty()) {
            std::fprintf(stderr, "cannot read %s\n", argv[i]);
            return 1;
        }
        vkPelBuffer<std::uint8_t> src(img.cols, img.rows);
        for (int y = 0; y < img.rows; ++y)
            std::copy_n(img.ptr<std::uint8_t>(y), img.cols,
                        src.pointToOffset() + y * src.rowUpdate());
        std::string name = argv[i];
        name = name.substr(name.find_last_of('/') + 1);
        for (std::int32_t k = 8; k <= 52; ++k) {
            const double sigma = std::sqrt(double(k) * k + 2) / 2;
            vkGaussSampleParams p(vkPair<std::int32_t>(1, 1), vkPair<std::int32_t>(k, k), 1.0,
                                  true);
            p.doRounding(true);
            const vkPelBuffer<std::uint8_t> ours = vfGaussSample<std::uint8_t>(src, p);
            cv::Mat peer;
            cv::GaussianBlur(img, peer, cv::Size(0, 0), sigma, sigma);
            const int taps = vk_detail::gaussKernel(vk_detail::gaussShape(k, false)).taps;
            const int margin = std::max(taps / 2, static_cast<int>(std::lround(3 * sigma)));
            if (img.rows <= 2 * margin || img.cols <= 2 * margin) continue;
            int most = 0;
            double sum = 0;
            for (int y = margin; y < img.rows - margin; ++y)
                for (int x = margin; x < img.cols - margin; ++x) {
                    const int d =
                        std::abs(int(ours.get({x, y})) - int(peer.at<std::uint8_t>(y, x)));
                    most = std::max(most, d);
                    sum += d;
                }
            const double mean = sum / (double(img.rows - 2 * margin) * (img.cols - 2 * margin));
            std::printf("%-12s %4d %8d %8.3f\n", name.c_str(), k, most, mean);
            worstMax = std::max(worstMax, double(most));
            worstMean = std::max(worstMean, mean);
            sumMean += mean;
            ++rows;
        }
    }
    std::printf("worst: max %.0f, mean %.3f (average of the means %.3f over %d cases)\n", worstMax,
                worstMean, sumMean / std::max(rows, 1), rows);
    return 0;
}
