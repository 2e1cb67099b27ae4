// Parsing a generated catalogue-style file of about 10 MB with the catalogue's
// own parser and, in the same run, with three general XML parsers as reference
// points; plus one long text run at 1 MiB and 8 MiB, whose times should scale
// linearly. Throughput is reported as bytes per second. The own parse is also
// timed in its two halves, building the tree and freeing it.

#include "xml/XML.h"

#include <benchmark/benchmark.h>
#include <expat.h>
#include <pugixml.hpp>
#include <tinyxml2.h>

#include <QBuffer>

#include <memory>

namespace {

constexpr qsizetype TARGET_BYTES = 10 * 1000 * 1000;

const QByteArray &catalogueFile()
{
    static const QByteArray file = [] {
        QByteArray out = "<?xml version=\"1.0\"?>\n<Ondo name=\"Ondo Reader\">\n";
        for (int g = 0; out.size() < TARGET_BYTES; ++g) {
            out += "    <Group name=\"RFID group " + QByteArray::number(g) + "\">\n";
            out += "        Commands of group " + QByteArray::number(g) + " &amp; more\n";
            for (int c = 0; c < 8; ++c) {
                out += "        <Command name=\"Scan " + QByteArray::number(c) + "\" instruction=\"i," +
                       QByteArray::number(g) + "\">\n";
                out += "            Reads tags and reports them, one line per tag.\n";
                out += "            <p1 name=\"Count\" Default=\"10\">How many tags to read</p1>\n";
                out += "            <p2 name=\"Mode\" Default=\"a&amp;b\"/>\n";
                out += "        </Command>\n";
            }
            out += "    </Group>\n";
        }
        out += "</Ondo>\n";
        return out;
    }();
    return file;
}

QByteArray textRunFile(qsizetype bytes)
{
    return "<r>" + QByteArray(bytes, 'a') + "</r>";
}

// One parse of the file into a new tree.
std::unique_ptr<CXML> loadTree(const QByteArray &file)
{
    QBuffer buffer;
    buffer.setData(file);
    buffer.open(QIODevice::ReadOnly);
    auto root = std::make_unique<CXML>();
    benchmark::DoNotOptimize(Load(*root, buffer, QString()));
    return root;
}

void parseOwn(benchmark::State &state, const QByteArray &file)
{
    for (auto _ : state)
        loadTree(file);
    state.SetBytesProcessed(state.iterations() * file.size());
}

// The two halves of BM_Catalogue_Own timed apart: building the tree, and freeing it.
void BM_Catalogue_OwnParseOnly(benchmark::State &state)
{
    const QByteArray &file = catalogueFile();
    for (auto _ : state) {
        std::unique_ptr<CXML> root = loadTree(file);
        state.PauseTiming();
        root.reset();
        state.ResumeTiming();
    }
    state.SetBytesProcessed(state.iterations() * file.size());
}

void BM_Catalogue_OwnFreeOnly(benchmark::State &state)
{
    const QByteArray &file = catalogueFile();
    for (auto _ : state) {
        state.PauseTiming();
        std::unique_ptr<CXML> root = loadTree(file);
        state.ResumeTiming();
        root.reset();
    }
    state.SetBytesProcessed(state.iterations() * file.size());
}

void BM_Catalogue_Own(benchmark::State &state)
{
    parseOwn(state, catalogueFile());
}

void BM_Catalogue_Pugixml(benchmark::State &state)
{
    const QByteArray &file = catalogueFile();
    for (auto _ : state) {
        pugi::xml_document doc;
        benchmark::DoNotOptimize(doc.load_buffer(file.constData(), size_t(file.size())));
    }
    state.SetBytesProcessed(state.iterations() * file.size());
}

void BM_Catalogue_Tinyxml2(benchmark::State &state)
{
    const QByteArray &file = catalogueFile();
    for (auto _ : state) {
        tinyxml2::XMLDocument doc;
        benchmark::DoNotOptimize(doc.Parse(file.constData(), size_t(file.size())));
    }
    state.SetBytesProcessed(state.iterations() * file.size());
}

// Expat builds no tree; the handlers count elements so the work is not skipped.
void BM_Catalogue_Expat(benchmark::State &state)
{
    const QByteArray &file = catalogueFile();
    for (auto _ : state) {
        XML_Parser parser = XML_ParserCreate(nullptr);
        long elements = 0;
        XML_SetUserData(parser, &elements);
        XML_SetElementHandler(
            parser, [](void *data, const XML_Char *, const XML_Char **) { ++*static_cast<long *>(data); },
            [](void *, const XML_Char *) {});
        XML_SetCharacterDataHandler(parser, [](void *, const XML_Char *, int) {});
        benchmark::DoNotOptimize(XML_Parse(parser, file.constData(), int(file.size()), 1));
        benchmark::DoNotOptimize(elements);
        XML_ParserFree(parser);
    }
    state.SetBytesProcessed(state.iterations() * file.size());
}

void BM_TextRun_Own(benchmark::State &state)
{
    parseOwn(state, textRunFile(state.range(0)));
}

} // namespace

BENCHMARK(BM_Catalogue_Own)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Catalogue_Pugixml)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Catalogue_Tinyxml2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Catalogue_Expat)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Catalogue_OwnParseOnly)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Catalogue_OwnFreeOnly)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TextRun_Own)->Arg(1 << 20)->Arg(8 << 20)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
