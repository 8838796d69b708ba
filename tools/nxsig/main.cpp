// nxsig: the signature analyst's compiler. `build` turns JSON sources into the signature files
// the scanners load, `dump` reads them back as JSON, `learn` computes one category record from a
// sample file.
#include <CLI/CLI.hpp>
#include <fstream>
#include <iostream>

#include "formats.h"

int main(int argc, char** argv) {
  CLI::App app{"nxsig: build, dump and learn signature files"};
  app.require_subcommand(1);

  std::vector<std::string> sources;
  std::string outDir;
  auto* build = app.add_subcommand("build", "write the signature files the sources hold records for");
  build->add_option("SOURCE", sources, "JSON source files")->required()->check(CLI::ExistingFile);
  build->add_option("-o,--output", outDir, "output folder")->required();

  std::string dumpDir;
  auto* dump = app.add_subcommand("dump", "print the signature files of a folder as a JSON source");
  dump->add_option("DIR", dumpDir, "folder with signature files")->required()->check(CLI::ExistingDirectory);

  std::string kind, tableName, name, sample;
  auto* learn = app.add_subcommand("learn", "print one category record computed from a sample file");
  learn->add_option("KIND", kind, "wince or epoc")->required();
  learn->add_option("--table", tableName, "category file name the record is meant for")->required();
  learn->add_option("--name", name, "threat name")->required();
  learn->add_option("SAMPLE", sample, "sample file")->required()->check(CLI::ExistingFile);

  CLI11_PARSE(app, argc, argv);

  try {
    if (*build) {
      std::vector<nxsig::Json> docs;
      for (const std::string& s : sources) {
        std::ifstream in(s);
        if (!in) throw nxsig::Error(s + ": cannot open");
        try {
          docs.push_back(nxsig::Json::parse(in));
        } catch (const nxsig::Json::parse_error& e) {
          throw nxsig::Error(s + ": " + e.what());
        }
      }
      const nxsig::BuildResult built = nxsig::buildAll(docs, outDir);
      for (const std::string& f : built.removed)
        std::cerr << "nxsig: removed " << f << " from " << outDir << ": the sources have no records for it\n";
    } else if (*dump) {
      std::cout << nxsig::dumpAll(dumpDir).dump(2) << "\n";
    } else if (*learn) {
      nxsig::Bytes bytes;
      nxsig::readFile(sample, bytes, 64u << 20);
      std::vector<std::string> notes;
      const nxsig::Json record = nxsig::learnRecord(kind, bytes, tableName, name, &notes);
      for (const std::string& n : notes) std::cerr << "nxsig: learn: " << n << "\n";
      std::cout << record.dump(2) << "\n";
    }
  } catch (const std::exception& e) {
    std::cerr << "nxsig: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
