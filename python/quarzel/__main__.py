import sys


def main() -> int:
    """The ``quarzel`` command. ``validate`` goes straight to its own
    module, whose start is most of a short run's time; every other command
    goes through cli.py."""
    if sys.argv[1:2] == ["validate"]:
        from ._validate_cli import command

        return command(sys.argv[2:])
    from .cli import main as cli_main

    return cli_main()


if __name__ == "__main__":
    sys.exit(main())
