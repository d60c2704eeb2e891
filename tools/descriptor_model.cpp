#include "descriptor_model.h"

#include <tinyxml2.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace orvane {
namespace tool {
namespace {

int32_t intAttribute(const tinyxml2::XMLElement* e, const char* name) {
    const char* text = e->Attribute(name);
    int32_t value = 0;
    return text && parseInt32(text, value) ? value : 0;
}

const DescFeature* findFeature(const DescComponent& c, int32_t id) {
    for (const DescFeature& f : c.features)
        if (f.id == id) return &f;
    return nullptr;
}

size_t editDistance(const std::string& a, const std::string& b) {
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        size_t diagonal = row[0];
        row[0] = i;
        for (size_t j = 1; j <= b.size(); ++j) {
            const size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
            diagonal = above;
        }
    }
    return row[b.size()];
}

bool closeTo(const std::string& typed, const std::string& name) {
    const std::string a = normalizedName(typed), b = normalizedName(name);
    if (a.empty()) return false;
    if (b.find(a) != std::string::npos || a.find(b) != std::string::npos) return true;
    return editDistance(a, b) <= std::max<size_t>(2, b.size() / 3);
}

std::string hex(int32_t v, int width) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%0*x", width, static_cast<uint32_t>(v));
    return text;
}

bool isHex(const std::string& text) {
    return text.size() > 2 && text[0] == '0' && text[1] == 'x';
}

const DescComponent* matchComponent(const std::vector<DescComponent>& list, const std::string& text) {
    int32_t id = 0;
    for (const DescComponent& c : list) {
        if (isHex(text) ? (parseInt32(text, id) && id == c.id)
                        : normalizedName(c.name) == normalizedName(text))
            return &c;
    }
    return nullptr;
}

const DescFeature* matchFeature(const DescComponent& c, const std::string& text) {
    int32_t id = 0;
    if (isHex(text)) return parseInt32(text, id) ? findFeature(c, id & 0xffff) : nullptr;
    for (const DescFeature& f : c.features)
        if (normalizedName(f.name) == normalizedName(text)) return &f;
    return nullptr;
}

std::string suggestions(const std::vector<std::string>& names) {
    std::string text;
    for (const std::string& n : names) text += (text.empty() ? "" : ", ") + n;
    return text;
}

}  // namespace

std::string normalizedName(const std::string& name) {
    std::string out;
    for (char ch : name) {
        if (ch == ' ' || ch == '_' || ch == '-') continue;
        out += static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    }
    return out;
}

bool parseInt32(const std::string& text, int32_t& out) {
    if (text.empty()) return false;
    const bool hex = isHex(text);
    errno = 0;
    char* end = nullptr;
    const long long v = hex ? std::strtoll(text.c_str() + 2, &end, 16) : std::strtoll(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || end == text.c_str() + (hex ? 2 : 0)) return false;
    if (hex ? (v < 0 || v > 0xffffffffLL) : (v < INT32_MIN || v > INT32_MAX)) return false;
    out = static_cast<int32_t>(static_cast<uint32_t>(v));
    return true;
}

bool parseDescriptor(const std::string& xml, std::vector<DescComponent>& out, std::string* error) {
    out.clear();
    tinyxml2::XMLDocument doc;
    if (doc.Parse(xml.c_str(), xml.size()) != tinyxml2::XML_SUCCESS || !doc.RootElement()) {
        if (error) *error = "the camera's descriptor is not valid XML";
        return false;
    }
    for (const auto* ce = doc.RootElement()->FirstChildElement("component"); ce;
         ce = ce->NextSiblingElement("component")) {
        DescComponent c;
        c.id = intAttribute(ce, "id");
        c.name = ce->Attribute("name") ? ce->Attribute("name") : "";
        for (const auto* fe = ce->FirstChildElement("feature"); fe; fe = fe->NextSiblingElement("feature")) {
            DescFeature f;
            f.bind = intAttribute(fe, "bind");
            if (f.bind != 0) {
                // A bound feature is the record of an earlier component, listed here too.
                f.id = f.bind & 0xffff;
                const int32_t owner = static_cast<int32_t>(static_cast<uint32_t>(f.bind) & 0xffff0000u);
                for (const DescComponent& earlier : out)
                    if (earlier.id == owner)
                        if (const DescFeature* target = findFeature(earlier, f.id)) f.name = target->name;
            } else {
                f.id = intAttribute(fe, "id") & 0xffff;
                f.name = fe->Attribute("name") ? fe->Attribute("name") : "";
            }
            c.features.push_back(f);
        }
        out.push_back(std::move(c));
    }
    return true;
}

bool resolveFeature(const std::vector<DescComponent>& components, const std::string& text, FeatureRef& out,
                    std::string* error) {
    const size_t dot = text.find('.');
    std::string component_text, feature_text;
    int32_t ref = 0;
    if (dot == std::string::npos && isHex(text) && parseInt32(text, ref)) {
        component_text = hex(static_cast<int32_t>(static_cast<uint32_t>(ref) & 0xffff0000u), 8);
        feature_text = hex(ref & 0xffff, 4);
    } else if (dot == std::string::npos) {
        if (error) *error = "'" + text + "' is not COMPONENT.FEATURE (for example laser.power)";
        return false;
    } else {
        component_text = text.substr(0, dot);
        feature_text = text.substr(dot + 1);
    }
    const DescComponent* c = matchComponent(components, component_text);
    if (!c) {
        std::vector<std::string> names;
        for (const DescComponent& other : components)
            if (closeTo(component_text, other.name)) names.push_back(other.name);
        if (names.empty())
            for (const DescComponent& other : components) names.push_back(other.name);
        if (error)
            *error = "unknown component '" + component_text + "'; " +
                     (names.size() < components.size() ? "did you mean: " : "components: ") +
                     suggestions(names);
        return false;
    }
    const DescFeature* f = matchFeature(*c, feature_text);
    if (!f) {
        std::vector<std::string> names;
        for (const DescFeature& other : c->features)
            if (closeTo(feature_text, other.name)) names.push_back(c->name + "." + other.name);
        if (error) {
            *error = "unknown feature '" + feature_text + "' in component " + c->name;
            if (!names.empty()) *error += "; did you mean: " + suggestions(names);
        }
        return false;
    }
    out.component = c->id;
    out.feature = f->id;
    out.component_name = c->name;
    out.feature_name = f->name;
    return true;
}

}  // namespace tool
}  // namespace orvane
