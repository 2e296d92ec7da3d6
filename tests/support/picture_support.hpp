// Reading the run picture back in tests: its marks with their attributes,
// and a real renderer's verdict on the file.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "tests/support/tool_test_support.hpp"

namespace tooltest {

using svg_attributes = std::map<std::string, std::string>;

// Every element of the class (the whole class attribute), with its attributes.
inline std::vector<svg_attributes> svg_marks(const std::string& svg, const std::string& cls) {
    std::vector<svg_attributes> found;
    std::regex element("<(circle|path|rect)\\b([^>]*)>");
    std::regex attribute("([a-z-]+)=\"([^\"]*)\"");
    for (auto it = std::sregex_iterator(svg.begin(), svg.end(), element); it != std::sregex_iterator(); ++it) {
        std::string body = (*it)[2];
        svg_attributes attributes;
        for (auto a = std::sregex_iterator(body.begin(), body.end(), attribute); a != std::sregex_iterator(); ++a) {
            attributes[(*a)[1]] = (*a)[2];
        }
        if (attributes["class"] == cls) found.push_back(attributes);
    }
    return found;
}

// Sum of an integer attribute over the marks.
inline int svg_sum(const std::vector<svg_attributes>& marks, const std::string& name) {
    int sum = 0;
    for (const svg_attributes& mark : marks) {
        auto it = mark.find(name);
        if (it != mark.end()) sum += std::stoi(it->second);
    }
    return sum;
}

inline bool have_renderer() { return std::system("command -v rsvg-convert >/dev/null 2>&1") == 0; }

struct rendering {
    int status = -1;                 // rsvg-convert's exit status
    std::string messages;            // what it wrote to stderr (warnings included)
    unsigned width = 0, height = 0;  // of the PNG, from its header
};

// Renders the SVG file to `png` with rsvg-convert.
inline rendering render_svg(const std::string& svg, const std::string& png) {
    rendering result;
    std::string messages = temp_path();
    int status = std::system(("rsvg-convert -f png -o " + png + " " + svg + " 2>" + messages).c_str());
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.messages = read_file(messages);
    std::remove(messages.c_str());
    std::string image = read_file(png);
    // Signature (8 bytes), IHDR length and type (8), then width and height, big-endian.
    if (image.size() >= 24 && image.compare(1, 3, "PNG") == 0) {
        auto be32 = [&](std::size_t at) {
            unsigned value = 0;
            for (std::size_t k = 0; k < 4; k++) value = value << 8 | static_cast<unsigned char>(image[at + k]);
            return value;
        };
        result.width = be32(16);
        result.height = be32(20);
    }
    return result;
}

}  // namespace tooltest
