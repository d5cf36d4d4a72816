// The package list, the OS template prefix and the pointer check.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <cstring>
#include <string>
#include <vector>

#include "kxtest.h"
#include "libkxfsutil.h"

using kxtest::write_file;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

namespace {

std::vector<std::string> entries(char **list) {
    std::vector<std::string> out;
    for (char **p = list; p && *p; ++p)
        out.emplace_back(*p);
    return out;
}

class Templates : public testing::Test {
protected:
    void SetUp() override {
        saved_level_ = kxfsutil_debug_level;
        kxfsutil_debug_level = 3;
        saved_packages_ = kxpackages_array;
        saved_prefix_ = ostemplate_prefix;
        kxpackages_array = nullptr;
        ostemplate_prefix = nullptr;
        const char *path = std::getenv("PATH");
        saved_path_ = path ? path : "";
        bin_ = host_.path("bin");
        kxtest::make_dirs(bin_);
        setenv("PATH", (bin_ + ":" + saved_path_).c_str(), 1);
    }
    void TearDown() override {
        kxfsutil_debug_level = saved_level_;
        kxpackages_array = saved_packages_;
        ostemplate_prefix = saved_prefix_;
        setenv("PATH", saved_path_.c_str(), 1);
        // The library keeps what it loaded; the tests give it back.
        for (char **list : lists_) {
            for (char **p = list; *p; ++p)
                std::free(*p);
            std::free(list);
        }
        for (char *prefix : prefixes_)
            std::free(prefix);
    }
    char **load(const std::string &text) {
        std::string file = host_.path("area/templates/kxpackages");
        write_file(file, text);
        char **list = read_templates(file.c_str());
        if (list)
            lists_.push_back(list);
        return list;
    }
    // The package tool on PATH prints this output for "info".
    void package_tool_prints(const std::string &output) {
        write_file(host_.path("kxpkg-output"), output);
        write_file(bin_ + "/kxpkg",
                   "#!/bin/sh\nfor a; do echo \"[$a]\"; done > " + host_.path("kxpkg-args") +
                       "\ncat " + host_.path("kxpkg-output") + "\n",
                   0755);
    }
    char *prefix_for(const std::string &conf_text, std::string *trace = nullptr) {
        std::string conf = host_.path("area/ve.conf");
        write_file(conf, conf_text);
        CaptureStderr();
        char *prefix = get_os_prefix(conf.c_str());
        std::string err = GetCapturedStderr();
        if (trace)
            *trace = err;
        if (prefix)
            prefixes_.push_back(prefix);
        return prefix;
    }
    int check(const char *target, std::string *trace = nullptr) {
        CaptureStderr();
        int result = check_template_pointer("etc/x", target);
        std::string err = GetCapturedStderr();
        if (trace)
            *trace = err;
        return result;
    }

    kxtest::Host host_;
    std::string bin_, saved_path_;
    int saved_level_ = 0;
    char **saved_packages_ = nullptr;
    char *saved_prefix_ = nullptr;
    std::vector<char **> lists_;
    std::vector<char *> prefixes_;
};

TEST_F(Templates, AddLineGrowsByTenAndStaysTerminated) {
    char **list = nullptr;
    int capacity = 0, count = 0;
    for (int i = 0; i < 25; ++i) {
        add_line(&list, &capacity, &count, std::to_string(i).c_str());
        ASSERT_EQ(list[count], nullptr);
        EXPECT_GT(capacity, count);
    }
    EXPECT_EQ(count, 25);
    EXPECT_EQ(capacity, 30);
    EXPECT_STREQ(list[24], "24");
    for (int i = 0; i < count; ++i)
        std::free(list[i]);
    std::free(list);
}

TEST_F(Templates, NameFormsOfAPackageLine) {
    kxfsutil_debug_level = 4;
    CaptureStderr();
    char **list = load("pkg x86_64 3.2-1\nname\tarch  1:2.0 ignored field\n");
    std::string trace = GetCapturedStderr();
    EXPECT_EQ(list, kxpackages_array);
    EXPECT_EQ(entries(list), (std::vector<std::string>{
                                 "pkg_3.2-1_x86_64", "pkg-3.2-1.x86_64", "pkg-0:3.2-1.x86_64",
                                 "name_1%3a2.0_arch", "name-1:2.0.arch"}));
    EXPECT_EQ(trace, "Package: pkg_3.2-1_x86_64\nPackage: pkg-3.2-1.x86_64\n"
                     "Package: pkg-0:3.2-1.x86_64\nPackage: name_1%3a2.0_arch\n"
                     "Package: name-1:2.0.arch\n");
    EXPECT_EQ(load(""), nullptr);
    EXPECT_EQ(kxpackages_array, nullptr);
}

TEST_F(Templates, ElevenPackagesAreAllFound) {
    std::string text;
    for (int i = 0; i < 11; ++i)
        text += "p" + std::to_string(i) + " x86_64 1." + std::to_string(i) + "\n";
    std::vector<std::string> forms = entries(load(text));
    ASSERT_EQ(forms.size(), 33u);
    EXPECT_EQ(kxpackages_array[33], nullptr);
    ostemplate_prefix = const_cast<char *>("distro/1/x86_64");
    for (const auto &form : forms) {
        std::string target = "////distro/1/x86_64/" + form + "/usr/bin/tool";
        EXPECT_EQ(check(target.c_str()), 0) << form;
    }
}

TEST_F(Templates, LongPackageLinesAreReadWhole) {
    // Read in 1023-character pieces, the tail of this line would be a
    // package line of its own.
    std::string line = "long x86_64 1.0 " + std::string(1023 - 16, '#') + "tail arch 9\n";
    EXPECT_EQ(entries(load(line)).size(), 3u);
}

TEST_F(Templates, MissingFieldsAreFatal) {
    std::string file = host_.path("area/templates/kxpackages");
    struct Case {
        const char *text, *message;
    } cases[] = {
        {"pkg x86_64 1.0\n\n", "Error: Failed to read name from .*kxpackages"},
        {"  \t\n", "Error: Failed to read name from .*kxpackages"},
        {"pkg\n", "Error: Failed to read arch from pkg"},
        {"pkg x86_64\n", "Error: Failed to read version from pkg"},
    };
    for (const auto &c : cases) {
        write_file(file, c.text);
        EXPECT_EXIT(read_templates(file.c_str()), testing::ExitedWithCode(1), c.message) << c.text;
    }
    EXPECT_EXIT(read_templates(host_.path("none").c_str()), testing::ExitedWithCode(1),
                "Error: Unable to open '.*none': No such file");
}

// A line longer than any package line is refused for what it is, and
// never held whole.
TEST_F(Templates, EndlessLinesAreRefused) {
    const std::string file = host_.path("area/templates/kxpackages");
    const std::string refusal =
        "Error: Line 2 of '" + file + "' is longer than 65536 bytes";
    write_file(file, "pkg x86_64 1.0\n" + std::string(65537, 'x') + "\n");
    EXPECT_EXIT(read_templates(file.c_str()), testing::ExitedWithCode(1), refusal);
    kxtest::write_sparse_file(file, "pkg x86_64 1.0\n", off_t(3) << 30, "\n");
    EXPECT_EXIT(
        {
            kxtest::limit_address_space(256 << 20);
            read_templates(file.c_str());
        },
        testing::ExitedWithCode(1), refusal);
    write_file(file, "pkg x86_64 " + std::string(65536 - 11, '1') + "\n");
    EXPECT_EQ(entries(load(kxtest::read_file(file))).size(), 3u);
}

TEST_F(Templates, PrefixFromThePackageTool) {
    std::string root = host_.template_root();
    package_tool_prints(root + "/distro/1/x86_64/config\nsecond line\n");
    kxfsutil_debug_level = 4;
    std::string trace;
    char *prefix = prefix_for("OSTEMPLATE=\"distro-1-x86_64\"\n", &trace);
    ASSERT_NE(prefix, nullptr);
    EXPECT_STREQ(prefix, "distro/1/x86_64");
    EXPECT_EQ(prefix, ostemplate_prefix);
    EXPECT_NE(trace.find("Prefix: distro/1/x86_64\n"), std::string::npos) << trace;
    EXPECT_EQ(kxtest::read_file(host_.path("kxpkg-args")),
              "[info]\n[-q]\n[distro-1-x86_64]\n[config_path]\n");

    // Runs of slashes: skipped before the prefix, kept inside it.
    package_tool_prints(root + "///distro//1///x86_64//config\n");
    prefix = prefix_for("OSTEMPLATE=\"d\"\n");
    ASSERT_NE(prefix, nullptr);
    EXPECT_STREQ(prefix, "distro//1///x86_64");

    // A path printed without a final newline is still the first line.
    package_tool_prints(root + "/distro/2/x86_64/config");
    prefix = prefix_for("OSTEMPLATE=\"d\"\n");
    ASSERT_NE(prefix, nullptr);
    EXPECT_STREQ(prefix, "distro/2/x86_64");
    package_tool_prints(root + "/distro/2/x86_64");
    kxfsutil_debug_level = 2;
    prefix_for("OSTEMPLATE=\"d\"\n", &trace);
    EXPECT_EQ(trace, "Wrong config_path: " + root + "/distro/2/x86_64\n");
}

TEST_F(Templates, PrefixFailures) {
    std::string root = host_.template_root();
    std::string trace;
    kxfsutil_debug_level = 4;

    EXPECT_EQ(prefix_for("OTHER=1\n", &trace), nullptr);
    EXPECT_NE(trace.find("Failed to read OSTEMPLATE from " + host_.path("area/ve.conf") + "\n"),
              std::string::npos);

    package_tool_prints("");
    EXPECT_EQ(prefix_for("OSTEMPLATE=t\n", &trace), nullptr);
    EXPECT_NE(trace.find("Failed to get config_path\n"), std::string::npos);

    package_tool_prints("/srv/elsewhere/distro/1/x86_64/config\n");
    EXPECT_EQ(prefix_for("OSTEMPLATE=t\n", &trace), nullptr);
    EXPECT_EQ(trace.find("Wrong"), std::string::npos);

    // The third component is the last one: its newline is part of it.
    package_tool_prints(root + "/distro/1/x86_64\n");
    kxfsutil_debug_level = 2;
    EXPECT_EQ(prefix_for("OSTEMPLATE=t\n", &trace), nullptr);
    EXPECT_EQ(trace, "Wrong config_path: " + root + "/distro/1/x86_64\n\n");
    package_tool_prints(root + "/distro/\n");
    EXPECT_EQ(prefix_for("OSTEMPLATE=t\n", &trace), nullptr);
    EXPECT_EQ(trace, "Wrong config_path: " + root + "/distro/\n\n");

    // No package tool on PATH: as from a shell, no output.
    ::unlink((bin_ + "/kxpkg").c_str());
    setenv("PATH", bin_.c_str(), 1);
    kxfsutil_debug_level = 4;
    EXPECT_EQ(prefix_for("OSTEMPLATE=t\n", &trace), nullptr);
    const std::string line = "Failed to get config_path\n";
    ASSERT_GE(trace.size(), line.size());
    EXPECT_EQ(trace.substr(trace.size() - line.size()), line) << trace;
    kxfsutil_debug_level = 3;
    EXPECT_EQ(prefix_for("OSTEMPLATE=t\n", &trace), nullptr);
    EXPECT_EQ(trace, "");
}

TEST_F(Templates, TemplateNameThatReadsAsAnOptionIsNeverPassed) {
    package_tool_prints(host_.template_root() + "/a/b/c/config\n");
    kxfsutil_debug_level = 4;
    for (const char *value : {"-q", "--help", "-"}) {
        std::string trace;
        ::unlink(host_.path("kxpkg-args").c_str());
        EXPECT_EQ(prefix_for(std::string("OSTEMPLATE=\"") + value + "\"\n", &trace), nullptr)
            << value;
        const std::string line = "Failed to read OSTEMPLATE from " + host_.path("area/ve.conf") + "\n";
        ASSERT_GE(trace.size(), line.size()) << value;
        EXPECT_EQ(trace.substr(trace.size() - line.size()), line) << value;
        EXPECT_FALSE(kxtest::exists(host_.path("kxpkg-args"))) << value << ": the tool ran";
    }
}

TEST_F(Templates, TemplateNameReachesTheToolAsOneArgument) {
    package_tool_prints(host_.template_root() + "/a/b/c/config\n");
    std::string marker = host_.path("marker");
    prefix_for("OSTEMPLATE=\"x; touch " + marker + " $(touch " + marker + ")\"\n");
    EXPECT_FALSE(kxtest::exists(marker));
    EXPECT_EQ(kxtest::read_file(host_.path("kxpkg-args")),
              "[info]\n[-q]\n[x; touch " + marker + " $(touch " + marker + ")]\n[config_path]\n");
}

TEST_F(Templates, AreaFilesAreReadOnlyAsRegularFilesBeneathTheArea) {
    package_tool_prints(host_.template_root() + "/distro/1/x86_64/config\n");
    const std::string area = host_.path("area"), hostdir = host_.path("hostetc");
    write_file(area + "/ve.conf", "OSTEMPLATE=\"distro\"\n");
    write_file(area + "/templates/kxpackages", "pkg x86_64 1\n");
    write_file(hostdir + "/kxpackages", "hostpkg x86_64 1\n");
    write_file(hostdir + "/ve.conf", "OSTEMPLATE=\"hosttemplate\"\n");
    int dir = open(area.c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(dir, 0);
    kxfsutil_debug_level = 4;
    CaptureStderr();
    char *prefix = get_os_prefix_at(dir, "ve.conf", area.c_str());
    std::string trace = GetCapturedStderr();
    ASSERT_NE(prefix, nullptr);
    prefixes_.push_back(prefix);
    EXPECT_STREQ(prefix, "distro/1/x86_64");
    EXPECT_NE(trace.find("OSTEMPLATE=\"distro\" from " + area + "/ve.conf\n"), std::string::npos);
    CaptureStderr();
    char **list = read_templates_at(dir, "templates/kxpackages", area.c_str());
    GetCapturedStderr();
    ASSERT_NE(list, nullptr);
    lists_.push_back(list);
    EXPECT_EQ(entries(list).size(), 3u);

    // Planted in their place: links to host files and a fifo.
    kxpackages_array = nullptr;
    ::unlink((area + "/ve.conf").c_str());
    std::filesystem::remove_all(area + "/templates");
    kxtest::make_symlink(hostdir, area + "/templates");
    for (const char *plant : {"link", "fifo"}) {
        ::unlink((area + "/ve.conf").c_str());
        ::unlink(host_.path("kxpkg-args").c_str());
        if (std::strcmp(plant, "link") == 0)
            kxtest::make_symlink(hostdir + "/ve.conf", area + "/ve.conf");
        else
            ASSERT_EQ(mkfifo((area + "/ve.conf").c_str(), 0600), 0);
        alarm(20);
        CaptureStderr();
        EXPECT_EQ(get_os_prefix_at(dir, "ve.conf", area.c_str()), nullptr) << plant;
        trace = GetCapturedStderr();
        alarm(0);
        EXPECT_EQ(trace, "Failed to read OSTEMPLATE from " + area + "/ve.conf\n") << plant;
        EXPECT_FALSE(kxtest::exists(host_.path("kxpkg-args"))) << plant;
    }
    EXPECT_EQ(read_templates_at(dir, "templates/kxpackages", area.c_str()), nullptr);
    EXPECT_EQ(kxpackages_array, nullptr);
    close(dir);
}

TEST_F(Templates, PointerCheck) {
    load("pkg x86_64 3.2-1\nlib x86_64 1:2.0\n");
    ostemplate_prefix = const_cast<char *>("distro/1/x86_64");
    kxfsutil_debug_level = 4;
    std::string trace;

    EXPECT_EQ(check("////distro/1/x86_64/pkg-3.2-1.x86_64/bin/pkg", &trace), 0);
    EXPECT_EQ(trace, "Success: ////distro/1/x86_64/pkg-3.2-1.x86_64/bin/pkg\n");
    EXPECT_EQ(check("//////distro/1/x86_64///lib_1%3a2.0_x86_64/x", &trace), 0);
    EXPECT_EQ(check("////distro/1/x86_64/lib-1:2.0.x86_64/x"), 0);

    EXPECT_EQ(check("////distro/1/x86_64/pkg-3.2-2.x86_64/bin/pkg", &trace), 1);
    EXPECT_EQ(trace, "Pointer etc/x link to wrong package: "
                     "'////distro/1/x86_64/pkg-3.2-2.x86_64/bin/pkg'\n");
    EXPECT_EQ(check("////other/2/x86_64/pkg-3.2-1.x86_64/bin/pkg", &trace), 1);
    EXPECT_EQ(trace, "Pointer etc/x link to wrong os template: "
                     "////other/2/x86_64/pkg-3.2-1.x86_64/bin/pkg\n");
    // A name form that is only the beginning of the directory name.
    EXPECT_EQ(check("////distro/1/x86_64/pkg-3.2-1.x86_64x/bin"), 1);
    EXPECT_EQ(check("////distro/1/x86_64/pkg-3.2-1.x86_64"), 1);  // no '/' after it
    EXPECT_EQ(check("////distro/1/x86_64/"), 1);

    // Nothing to check.
    EXPECT_EQ(check("////vc/0a1b/x", &trace), 0);
    EXPECT_EQ(trace, "");
    EXPECT_EQ(check("////vcs/x"), 0);
    EXPECT_EQ(check("///distro/1/x86_64/unknown/x"), 0);
    EXPECT_EQ(check(nullptr), 0);
    char *prefix = ostemplate_prefix;
    ostemplate_prefix = nullptr;
    EXPECT_EQ(check("////other/x"), 0);
    ostemplate_prefix = prefix;
    kxpackages_array = nullptr;
    EXPECT_EQ(check("////other/x"), 0);
}

TEST_F(Templates, PrefixMatchesLikeTheTextItIs) {
    // The prefix is compared over its own length only.
    load("pkg x86_64 1\n");
    ostemplate_prefix = const_cast<char *>("distro/1/x86");
    EXPECT_EQ(check("////distro/1/x86_64/pkg-1.x86_64/f"), 1);  // "_64/..." is no package
    EXPECT_EQ(check("////distro/1/x86//pkg-1.x86_64/f"), 0);
}

TEST_F(Templates, TheIndexFollowsTheList) {
    ostemplate_prefix = const_cast<char *>("d/1/a");
    load("first a 1\n");
    EXPECT_EQ(check("////d/1/a/first-1.a/f"), 0);
    load("second a 1\n");
    EXPECT_EQ(check("////d/1/a/first-1.a/f"), 1);
    EXPECT_EQ(check("////d/1/a/second-1.a/f"), 0);

    // A list grown in place through add_line.
    char **list = nullptr;
    int capacity = 0, count = 0;
    add_line(&list, &capacity, &count, "one");
    kxpackages_array = list;
    EXPECT_EQ(check("////d/1/a/two/f"), 1);
    add_line(&list, &capacity, &count, "two");
    kxpackages_array = list;
    EXPECT_EQ(check("////d/1/a/two/f"), 0);

    // Name forms with a slash are still found, in list order.
    add_line(&list, &capacity, &count, "group/three");
    kxpackages_array = list;
    EXPECT_EQ(check("////d/1/a/group/three/f"), 0);
    EXPECT_EQ(check("////d/1/a/group/threefold/f"), 1);
    EXPECT_EQ(check("////d/1/a/group/three"), 1);
    kxpackages_array = nullptr;
    for (int i = 0; i < count; ++i)
        std::free(list[i]);
    std::free(list);
}

}  // namespace
