"""Prints "PASSED FAILED SKIPPED" for a pytest JUnit XML file (errors count
as failures). Runs with whatever interpreter a platform root has."""
import sys
import xml.etree.ElementTree as ET

root = ET.parse(sys.argv[1]).getroot()
suites = [root] if root.tag == "testsuite" else root.iter("testsuite")
tests = failed = skipped = 0
for suite in suites:
    tests += int(suite.get("tests", 0))
    failed += int(suite.get("failures", 0)) + int(suite.get("errors", 0))
    skipped += int(suite.get("skipped", 0))
print(tests - failed - skipped, failed, skipped)
