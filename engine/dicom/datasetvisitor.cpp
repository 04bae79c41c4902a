#include "engine/dicom/datasetvisitor.h"

#include "engine/dicom/dicomfacts.h"
#include "engine/dicom/elementwalk.h"

bool DataSetVisitor::walk(const gdcm::DataSet &dataSet, const CharacterSet &around)
{
    m_key.clear();
    return walkDataSet(dataSet, around, 0);
}

bool DataSetVisitor::walkItems(gdcm::SequenceOfItems &items, const Place &from)
{
    m_key = from.key;
    return enter(items, { from.dataSet, from.charset, m_key, from.depth });
}

gdcm::SmartPointer<gdcm::SequenceOfItems> DataSetVisitor::itemsOf(const gdcm::DataElement &element,
                                                                  const gdcm::DataSet &owner)
{
    return ElementWalk::itemsOf(element, owner);
}

bool DataSetVisitor::atLimit(const Place &place)
{
    return place.depth >= DicomFacts::maxSequenceDepth;
}

bool DataSetVisitor::walkDataSet(const gdcm::DataSet &dataSet, const CharacterSet &around,
                                 int depth)
{
    const CharacterSet charset = ElementWalk::characterSet(dataSet, around);
    const Place here{ dataSet, charset, m_key, depth };
    begin(here);
    for (const gdcm::DataElement &each : dataSet.GetDES()) {
        const size_t mark = m_key.size();
        ElementWalk::appendTag(m_key, each.GetTag());
        element(each, here);
        m_key.resize(mark);
    }
    return end(here);
}

bool DataSetVisitor::enter(gdcm::SequenceOfItems &items, const Place &place)
{
    if (atLimit(place))
        return false;
    bool changed = false;
    const size_t mark = m_key.size();
    for (gdcm::SequenceOfItems::SizeType i = 1; i <= items.GetNumberOfItems(); ++i) {
        gdcm::Item &item = items.GetItem(i);
        ElementWalk::appendItem(m_key, static_cast<quint32>(i - 1));
        if (walkDataSet(item.GetNestedDataSet(), place.charset, place.depth + 1)) {
            item.SetVLToUndefined();
            changed = true;
        }
        m_key.resize(mark);
    }
    return changed;
}
