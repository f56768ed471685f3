// CConfig: the server's configuration, the parameters of config.xml as a CNameValueMap, with
// validated names and the two fixed parameters product-name and version; and its process-wide
// instance.
#pragma once

#include <string>

#include "common/format.h"
#include "common/trace.h"
#include "server/core/name_value_map.h"
#include "server/core/settings.h"

namespace Ovrin {

// The product's own name and version; a configuration file cannot change them.
constexpr const char* kProductName = "Ovrin Mail Filter";
constexpr const char* kProductVersion = "1.4, built Sep 13 2005 13:05:54";

class CConfig : public CNameValueMap {
public:
    // Names must be words joined by single hyphens, else "Invalid name for a configuration
    // parameter: '%s'".
    void SetValue(const std::string& name, const std::string& value);
    void DelValue(const std::string& name);
    void ClearValues();
    // Replaces the contents by the /config/params/param elements of the file, then sets the
    // two fixed parameters.
    void LoadFromXml(const std::string& path);

    // Adds "x-ovrin-<name>" with its value to the header for every parameter, in name order.
    // A template so that this layer needs no message header of its own: any header with
    // AddValue(name, value) will do.
    template <class Header>
    void InsertValuesToHeader(Header& header) const {
        Traced([&] {
            std::string field = "x-ovrin-";  // one buffer for every name
            ForEachValue([&](const std::string& name, const std::string& value) {
                field.resize(8);
                field += name;
                header.AddValue(field, value);
            });
        }, "CConfig::InsertValuesToHeader(0x%08x)", LabelAddress(&header));
    }

    // The parameters read as numbers or ports, parsed when they are set.
    const CSettings& Settings() const { return settings; }
    // Throws, naming the parameter and its text, when a parameter's text is no value of it.
    void CheckSettings() const;

private:
    CSettings settings{*this};
};

// The server's configuration, the process-wide instance every layer reads.
CConfig& Config();
// Its typed settings.
inline const CSettings& Settings() { return Config().Settings(); }

}  // namespace Ovrin
