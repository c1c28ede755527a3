// orvandel eml2pst OUT.pst INPUT...: imports loose .eml files and folders of
// them (folder tree kept) into a new PST file.
#include <chrono>
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "Commands.h"
#include "files/Ascii.h"
#include "mime/EmlTree.h"
#include "store/PstStoreSession.h"

namespace {

void PrintUsage(std::FILE* out) {
    std::fprintf(out,
                 "Usage: orvandel eml2pst OUT.pst INPUT... [--name DISPLAYNAME]\n\n"
                 "Creates OUT.pst (it must not exist) and imports every INPUT into it:\n"
                 "an .eml file goes into the Inbox; a folder becomes a top-level mail folder\n"
                 "of the same name holding its .eml files, with its sub-folders below it.\n"
                 "Files that hold no message are listed as \"BAD : \" lines on stderr.\n\n"
                 "  --name DISPLAYNAME  the store's display name (default: OUT's file name)\n\n"
                 "Exit status: 0 all imported, 1 some files failed, 2 usage or PST error.\n");
}

std::string StemOf(const std::string& path) {
    auto slash = path.rfind('/');
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (name.size() > 4) {
        const std::string ext = files::LowerAscii(name.substr(name.size() - 4));
        if (ext == ".pst") name.resize(name.size() - 4);
    }
    return name.empty() ? "Imported mail" : name;
}

int RunEml2Pst(const std::vector<std::string>& args) {
    std::string out, name;
    std::vector<std::string> inputs;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--help" || a == "-h") {
            PrintUsage(stdout);
            return 0;
        } else if (a == "--name" && i + 1 < args.size()) {
            name = args[++i];
        } else if (a.size() > 1 && a[0] == '-') {
            std::fprintf(stderr, "orvandel eml2pst: unknown option '%s'\n", a.c_str());
            PrintUsage(stderr);
            return 2;
        } else if (out.empty()) {
            out = a;
        } else {
            inputs.push_back(a);
        }
    }
    if (out.empty() || inputs.empty()) {
        PrintUsage(stderr);
        return 2;
    }
    if (name.empty()) name = StemOf(out);

    auto started = std::chrono::steady_clock::now();
    mime::EmlTreeStats stats;
    try {
        auto session = store::CreatePstSession();
        store::Store& st = session->LogonPstStore(out, 1, name);
        st.ValidateIPMTree();
        stats = mime::ImportEmlInputs(st, inputs, [](const std::string& path, const std::string& why) {
            std::fprintf(stderr, "BAD : %s (%s)\n", path.c_str(), why.c_str());
        });
        session->Logoff();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "orvandel eml2pst: %s\n", e.what());
        return 2;
    }
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf("%zu messages imported, %zu failed, %zu folders created, %.1f MB in %.2f s\n", stats.imported,
                stats.failed, stats.folders, double(stats.bytes) / 1e6, secs);
    return stats.failed ? 1 : 0;
}

const app::CommandRegistration registration({
    "eml2pst",
    "eml2pst OUT.pst INPUT... [--name DISPLAYNAME]",
    "import .eml files and folders of them into a new PST file",
    RunEml2Pst,
});

}  // namespace
