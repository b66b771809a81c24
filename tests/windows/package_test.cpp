// What a Windows user builds and installs beside pontor.sys: the WDK project
// must compile exactly the driver sources the Linux build compiles, the INF
// must describe one consistent minifilter service, and the scripts must use
// it.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/kit.h"

namespace {

using kit::Slurp;

std::string Trim(const std::string& s) {
    const size_t first = s.find_first_not_of(" \t\r\"");
    const size_t last = s.find_last_not_of(" \t\r\"");
    return first == std::string::npos ? "" : s.substr(first, last - first + 1);
}

std::string Lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
    return s;
}

// An INF as sections of "key = value" lines (keyless lines keep an empty
// key), comments dropped, %Strings% substituted. Section names and keys are
// compared without regard to case, as Windows does.
class Inf {
public:
    explicit Inf(const std::string& text) {
        std::string section;
        std::istringstream in(text);
        for (std::string line; std::getline(in, line);) {
            line = StripComment(line);
            if (Trim(line).empty())
                continue;
            if (Trim(line).front() == '[') {
                section = Lower(Trim(line).substr(1, Trim(line).find(']') - 1));
                sections_[section];
                continue;
            }
            const size_t eq = line.find('=');
            const bool keyed = eq != std::string::npos && line.find(',') > eq;
            sections_[section].emplace_back(keyed ? Lower(Trim(line.substr(0, eq))) : "",
                                            Trim(keyed ? line.substr(eq + 1) : line));
        }
        for (const auto& [key, value] : sections_["strings"]) {
            strings_[key] = value;
        }
    }

    bool Has(const std::string& section) const { return sections_.count(Lower(section)); }

    // The value of a key, strings substituted; empty when absent.
    std::string Get(const std::string& section, const std::string& key) const {
        const auto found = sections_.find(Lower(section));
        if (found == sections_.end())
            return "";
        for (const auto& [k, v] : found->second) {
            if (k == Lower(key))
                return Substitute(v);
        }
        return "";
    }

    // The keyless lines of a section (registry and file lists), substituted.
    std::vector<std::string> Lines(const std::string& section) const {
        std::vector<std::string> lines;
        const auto found = sections_.find(Lower(section));
        if (found == sections_.end())
            return lines;
        for (const auto& [k, v] : found->second) {
            if (k.empty())
                lines.push_back(Substitute(v));
        }
        return lines;
    }

private:
    static std::string StripComment(const std::string& line) {
        bool quoted = false;
        for (size_t i = 0; i < line.size(); i++) {
            if (line[i] == '"')
                quoted = !quoted;
            if (line[i] == ';' && !quoted)
                return line.substr(0, i);
        }
        return line;
    }

    std::string Substitute(const std::string& value) const {
        std::string out;
        for (size_t i = 0; i < value.size(); i++) {
            const size_t end = value[i] == '%' ? value.find('%', i + 1) : std::string::npos;
            if (end == std::string::npos) {
                out += value[i];
                continue;
            }
            const auto found = strings_.find(Lower(value.substr(i + 1, end - i - 1)));
            out += found != strings_.end() ? Trim(found->second) : value.substr(i, end - i + 1);
            i = end;
        }
        return out;
    }

    std::map<std::string, std::vector<std::pair<std::string, std::string>>> sections_;
    std::map<std::string, std::string> strings_;
};

// The comma-separated fields of a value. Quoted pieces of a field are
// joined, as the INF syntax joins "Instances\"%Name%.
std::vector<std::string> Fields(const std::string& line) {
    std::vector<std::string> fields;
    std::istringstream in(line);
    for (std::string field; std::getline(in, field, ',');) {
        field.erase(std::remove(field.begin(), field.end(), '"'), field.end());
        fields.push_back(Trim(field));
    }
    return fields;
}

class Package : public ::testing::Test {
protected:
    static std::string Source(const std::string& name) {
        return Slurp(PONTOR_SOURCE_DIR "/platform/windows/" + name);
    }
    const Inf inf_{Source("pontor.inf")};
};

TEST_F(Package, WdkProjectCompilesExactlyTheDriverSources) {
    const std::string project = Source("pontor.vcxproj");
    std::set<std::string> compiled;
    const std::regex item(R"re(<ClCompile Include="\.\.\\\.\.\\([^"]+)")re");
    for (std::sregex_iterator it(project.begin(), project.end(), item), end; it != end; ++it) {
        std::string path = (*it)[1];
        std::replace(path.begin(), path.end(), '\\', '/');
        compiled.insert(path);
    }
    std::set<std::string> listed;
    std::istringstream sources(PONTOR_DRIVER_SOURCES);
    for (std::string source; std::getline(sources, source, '|');) {
        const std::string root = PONTOR_SOURCE_DIR "/";
        listed.insert(source.rfind(root, 0) == 0 ? source.substr(root.size()) : source);
    }
    EXPECT_FALSE(listed.empty());
    EXPECT_EQ(compiled, listed) << "pontor.vcxproj and pontor_driver list different sources";
}

TEST_F(Package, InfInstallsADemandStartMinifilterInTheVirtualizationGroup) {
    // The setup class and the load order group must be the documented pair.
    EXPECT_EQ(inf_.Get("Version", "Class"), "Virtualization");
    EXPECT_EQ(Lower(inf_.Get("Version", "ClassGuid")), "{f75a86c0-10d8-4c3a-b233-ed60e4cdfaac}");
    EXPECT_NE(inf_.Get("Version", "Provider"), "");

    const std::vector<std::string> add =
        Fields(inf_.Get("DefaultInstall.NTamd64.Services", "AddService"));
    ASSERT_EQ(add.size(), 3u);
    const std::string service = add[2];
    EXPECT_EQ(add[0], "pontor") << "the service name fltmc load takes";
    EXPECT_EQ(inf_.Get(service, "LoadOrderGroup"), "FSFilter Virtualization");
    EXPECT_EQ(inf_.Get(service, "ServiceType"), "2") << "file-system driver";
    EXPECT_EQ(inf_.Get(service, "StartType"), "3") << "demand start";
    EXPECT_EQ(inf_.Get(service, "Dependencies"), "FltMgr");

    // The binary the service runs is the file the install copies, into the
    // driver store (DIRID 13), where a primitive driver's files stay.
    const std::string copied = inf_.Get("DefaultInstall.NTamd64", "CopyFiles");
    ASSERT_EQ(inf_.Lines(copied), std::vector<std::string>{"pontor.sys"});
    EXPECT_EQ(inf_.Get("DestinationDirs", copied), "13");
    EXPECT_EQ(inf_.Get("DestinationDirs", "DefaultDestDir"), "");
    EXPECT_EQ(inf_.Get(service, "ServiceBinary"), "%13%\\pontor.sys");
}

// What makes the INF a primitive driver package, which Windows 10 1903 and
// later install through the driver store: architecture-decorated install
// sections only, no uninstall sections, no [Manufacturer].
TEST_F(Package, InfIsAPrimitiveDriverPackage) {
    for (const char* section : {"DefaultInstall", "DefaultInstall.Services", "DefaultUninstall",
                                "DefaultUninstall.Services", "DefaultUninstall.NTamd64",
                                "DefaultUninstall.NTamd64.Services", "Manufacturer"}) {
        EXPECT_FALSE(inf_.Has(section)) << "[" << section << "]";
    }
    EXPECT_TRUE(inf_.Has("DefaultInstall.NTamd64"));
    EXPECT_EQ(inf_.Get("Version", "CatalogFile"), "pontor.cat")
        << "the driver store takes a package only with its catalog";
}

// The default instance and its altitude where Windows 11 24H2 reads them
// (Parameters\Instances) and where earlier versions do (Instances).
TEST_F(Package, InfDefaultInstanceHasAnAltitudeInTheGroupsRangeInBothPlaces) {
    const std::string service =
        Fields(inf_.Get("DefaultInstall.NTamd64.Services", "AddService"))[2];
    std::map<std::string, std::map<std::string, std::string>> registry;  // key -> value -> data
    for (const std::string& line : inf_.Lines(inf_.Get(service, "AddReg"))) {
        const std::vector<std::string> f = Fields(line);
        ASSERT_GE(f.size(), 5u) << line;
        ASSERT_EQ(f[0], "HKR") << line;
        registry[f[1]][f[2]] = f[4];
    }
    for (const std::string root : {"Parameters\\Instances", "Instances"}) {
        SCOPED_TRACE(root);
        const std::string instance = registry[root]["DefaultInstance"];
        ASSERT_FALSE(instance.empty()) << "no DefaultInstance";
        const auto& values = registry[root + "\\" + instance];
        ASSERT_TRUE(values.count("Altitude"))
            << "the default instance " << instance << " has no altitude";
        ASSERT_TRUE(values.count("Flags"));
        const long altitude = std::stol(values.at("Altitude"));
        EXPECT_GE(altitude, 130000);
        EXPECT_LE(altitude, 139999);
        EXPECT_EQ(values, registry["Parameters\\Instances\\" + instance]);
    }
}

// The scripts install and remove through the driver store, and load and
// unload the service the INF creates.
TEST_F(Package, ScriptsUseTheDriverStoreAndTheInfsService) {
    const std::string service =
        Fields(inf_.Get("DefaultInstall.NTamd64.Services", "AddService"))[0];
    for (const auto& [script, commands] :
         {std::pair<std::string, std::vector<std::string>>{
              "install.cmd",
              {"pnputil /add-driver pontor.inf /install", "fltmc load " + service,
               "fltmc instances -f " + service}},
          {"uninstall.cmd",
           {"fltmc unload " + service, "pnputil /enum-drivers",
            "pnputil /delete-driver %%p /uninstall", "certutil -delstore Root"}}}) {
        const std::string text = Source(script);
        for (const std::string& command : commands) {
            EXPECT_NE(text.find(command), std::string::npos) << script << ": " << command;
        }
        EXPECT_EQ(text.find("InstallHinfSection"), std::string::npos) << script;
    }
}

}  // namespace
