# The shipped scripts and every PowerShell block of the administrator's guide
# parse, and use nothing that Windows PowerShell 5.1 lacks.
BeforeDiscovery {
    $root = Resolve-Path "$PSScriptRoot/../../.."
    $guide = Get-Content -Raw "$root/docs/administrators-guide.txt"
    # The lines indented under a label such as "In PowerShell:" or
    # "In Command Prompt or PowerShell (...):".
    $blocks = [regex]::Matches($guide, '(?m)^  In [^\r\n]*PowerShell[^\r\n]*:\r?\n\r?\n((?:    [^\r\n]*\r?\n|\r?\n(?=    ))+)')
    $script:Sources = @(
        Get-ChildItem "$root/deploy/*.ps1" | ForEach-Object {
            @{ Name = $_.Name; Text = Get-Content -Raw $_.FullName }
        }
        $blocks | ForEach-Object {
            $line = ($guide.Substring(0, $_.Index) -split "`n").Count
            @{ Name = "the guide's block at line $line"; Text = $_.Groups[1].Value -replace '(?m)^    ', '' }
        }
    )
}

BeforeAll {
    # The syntax that came after Windows PowerShell 5.1, found on the tree.
    function Get-NewerSyntax([System.Management.Automation.Language.Ast]$Ast) {
        $Ast.FindAll({
                param($node)
                $type = $node.GetType().Name
                $type -in 'PipelineChainAst', 'TernaryExpressionAst' -or
                ($type -eq 'BinaryExpressionAst' -and $node.Operator -eq 'QuestionQuestion') -or
                ($type -eq 'AssignmentStatementAst' -and $node.Operator -eq 'QuestionQuestionEquals') -or
                ($type -in 'MemberExpressionAst', 'InvokeMemberExpressionAst', 'IndexExpressionAst' -and
                    $node.NullConditional)
            }, $true) | ForEach-Object { "$($_.GetType().Name) at line $($_.Extent.StartLineNumber): $($_.Extent.Text)" }
    }
}

Describe 'PowerShell that ships' {
    It 'has guide blocks to check' {
        @($Sources | Where-Object Name -like 'the guide*').Count | Should -BeGreaterThan 5
    }

    It '<Name> parses, and uses no syntax newer than Windows PowerShell 5.1' -ForEach $Sources {
        $tokens = $errors = $null
        $ast = [System.Management.Automation.Language.Parser]::ParseInput($Text, [ref]$tokens, [ref]$errors)
        $errors | ForEach-Object { "$($_.Extent.StartLineNumber): $($_.Message)" } | Should -BeNullOrEmpty
        Get-NewerSyntax $ast | Should -BeNullOrEmpty
    }
}
