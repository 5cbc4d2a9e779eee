"""What `make demo` runs: read a CIF file every way quarzel offers."""

import inspect
import sys

import quarzel_core as q


def section(title: str) -> None:
    print(f"\n== {title}")


def attempt(title, call):
    section(title)
    try:
        return call()
    except NotImplementedError as exc:
        print(f"(not available yet: {exc})")
        return None


def main(path: str) -> None:
    with open(path, encoding="utf-8") as f:
        text = f.read()
    print(f"quarzel_core publishes: {', '.join(q.__all__)}")
    for name in q.__all__:
        obj = getattr(q, name)
        print(f"  {name}{inspect.signature(obj)}")
    print(f"\nsample: {path} ({len(text.encode())} bytes)")

    lexed = attempt("lex_cif: tokens", lambda: q.lex_cif(text))
    if lexed is not None:
        tokens, version = lexed
        print(f"version {version.name}, {len(tokens)} tokens")
        for t in tokens[:40]:
            vt = t["value_type"].name if t["value_type"] else "-"
            errs = f"  !! {t['errors'][0]['message']}" if t["errors"] else ""
            print(f"  {t['line']:>3}:{t['column']:<3} {t['token_type'].name:<8} {vt:<20} {t['value']!r}{errs}")
        if len(tokens) > 40:
            print(f"  ... and {len(tokens) - 40} more")

    result = attempt("parse_cif: object model and errors", lambda: q.parse_cif(text))
    if result is not None:
        cif, errors = result
        print(f"version {cif.version.name}, blocks {cif.blocks}")
        for block in cif._block_list:
            print(f"block {block.name!r}: {len(block.tags)} tags, {len(block.loops)} loops, "
                  f"save frames {block.save_frames}")
            for tag in block.tags[:6]:
                print(f"  {tag} = {block[tag]!r}")
        for e in errors:
            print(f"  {e['line']}:{e['column']}: {e['error_type']}: {e['message']} ({e['recovery_action']})")

    batches = attempt("parse_arrow: record batches", lambda: q.parse_arrow(text))
    if batches is not None:
        for batch in batches[0]:
            print(f"  {batch.column(4)[0]} of {batch.column(1)[0]}: {batch.num_rows} rows, "
                  f"columns {batch.schema.names[5:]}")


def cli(path: str) -> None:
    from quarzel import cli as quarzel_cli

    for args in (["check", path], ["info", path]):
        section("$ quarzel " + " ".join(args))
        status = quarzel_cli.main(args)
        print(f"(exit status {status})")


if __name__ == "__main__":
    sample = sys.argv[1] if len(sys.argv) > 1 else "samples/sample.cif"
    main(sample)
    cli(sample)
