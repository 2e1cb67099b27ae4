#include "xml/XML.h"

#include <QtTest>

class TestXmlModel : public QObject
{
    Q_OBJECT

private slots:
    void entities_data();
    void entities();
    void attributes();
    void childLinks_data();
    void childLinks();
    void cursorWalk();
    void clearKeepsIdentity();
};

void TestXmlModel::entities_data()
{
    QTest::addColumn<QString>("plain");
    QTest::addColumn<QString>("encoded");

    QTest::newRow("each of the five once") << "&<>'\"" << "&amp;&lt;&gt;&apos;&quot;";
    QTest::newRow("ampersand before reference letters") << "&lt;" << "&amp;lt;";
    QTest::newRow("text around") << "a & b <c>" << "a &amp; b &lt;c&gt;";
    QTest::newRow("nothing to do") << "plain text" << "plain text";
    QTest::newRow("empty") << "" << "";
}

void TestXmlModel::entities()
{
    QFETCH(QString, plain);
    QFETCH(QString, encoded);
    QCOMPARE(EncodeEntities(plain), encoded);
    QCOMPARE(DecodeEntities(encoded), plain);
    // Other references, and an "&" that starts none of the five, stay as they are.
    const QString other = QStringLiteral("&#38; &nbsp; & &am; &amp");
    QCOMPARE(DecodeEntities(encoded + other), plain + other);
}

void TestXmlModel::attributes()
{
    CXML element;
    QCOMPARE(element.GetAttribute("Default"), QString());
    element.SetAttribute("name", "Power");
    element.SetAttribute("Default", "10");
    element.SetAttribute("unit", "dB");
    element.SetAttribute("Default", "20");
    QStringList order;
    for (const CAttribute *attribute : element.attributes)
        order << attribute->name + "=" + attribute->value;
    QCOMPARE(order, (QStringList{"name=Power", "Default=20", "unit=dB"}));
    QCOMPARE(element.GetAttribute("default"), QString()); // case-sensitive
}

void TestXmlModel::childLinks_data()
{
    QTest::addColumn<bool>("moveToOther");
    QTest::newRow("re-add to same parent moves to end") << false;
    QTest::newRow("add to other parent moves it there") << true;
}

void TestXmlModel::childLinks()
{
    QFETCH(bool, moveToOther);
    CXML a;
    CXML b;
    auto *first = new CXML;
    auto *second = new CXML;
    second->name = "second";
    a.AddChild(first);
    a.AddChild(second);
    QCOMPARE(first->name, QStringLiteral("Unknown"));
    QCOMPARE(first->parent, &a);

    CXML &target = moveToOther ? b : a;
    target.AddChild(first);
    QCOMPARE(first->parent, &target);
    QCOMPARE(target.children.count(first), 1);
    if (moveToOther) {
        QCOMPARE(a.children, (QList<CXML *>{second}));
    } else {
        QCOMPARE(a.children, (QList<CXML *>{second, first}));
    }
    // Deleting a child detaches it from its parent.
    delete second;
    QVERIFY(!a.children.contains(second));
}

void TestXmlModel::cursorWalk()
{
    CXML root;
    QCOMPARE(root.GetFirstChild(), nullptr);
    QCOMPARE(root.GetNextChild(), nullptr);
    QList<CXML *> made;
    for (int i = 0; i < 3; ++i) {
        made << new CXML;
        made.last()->name = QString::number(i);
        root.AddChild(made.last());
    }
    QList<CXML *> walked;
    for (CXML *child = root.GetFirstChild(); child; child = root.GetNextChild())
        walked << child;
    QCOMPARE(walked, made);
    QCOMPARE(root.GetNextChild(), nullptr);

    root.RemoveChild(made[1]);
    QCOMPARE(made[1]->parent, nullptr);
    QCOMPARE(root.children, (QList<CXML *>{made[0], made[2]}));
    root.RemoveChild(made[1]); // not held any more: nothing happens
    QCOMPARE(root.children.size(), 2);
    delete made[1];
}

void TestXmlModel::clearKeepsIdentity()
{
    CXML root;
    root.name = "root";
    root.filePath = "saved.xml";
    root.text = "text";
    root.SetAttribute("a", "1");
    auto *child = new CXML;
    child->AddChild(new CXML);
    root.AddChild(child);
    root.Clear();
    QCOMPARE(root.name, QStringLiteral("root"));
    QCOMPARE(root.filePath, QStringLiteral("saved.xml"));
    QVERIFY(root.text.isEmpty());
    QVERIFY(root.children.isEmpty());
    QVERIFY(root.attributes.isEmpty());
}

QTEST_GUILESS_MAIN(TestXmlModel)
#include "tst_xmlmodel.moc"
